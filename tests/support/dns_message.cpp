#include "support/dns_message.h"

#include <stdexcept>

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

namespace {

constexpr size_t header_bytes = 12;
constexpr unsigned char response_bit = 0x80;  // QR, the top bit of the third header byte.

}  // namespace

std::string DnsQuery(const std::string &name, int type, uint16_t id)
{
    unsigned char buffer[NS_PACKETSZ];
    int length = res_mkquery(ns_o_query, name.c_str(), ns_c_in, type, nullptr, 0, nullptr, buffer, sizeof(buffer));
    if (length < static_cast<int>(header_bytes))
        throw std::runtime_error("res_mkquery refused \"" + name + "\"");
    buffer[0] = static_cast<unsigned char>(id >> 8);
    buffer[1] = static_cast<unsigned char>(id & 0xff);
    return std::string(reinterpret_cast<const char *>(buffer), static_cast<size_t>(length));
}

bool IsDnsResponse(const std::string &message)
{
    ns_msg parsed;
    return ns_initparse(reinterpret_cast<const unsigned char *>(message.data()), static_cast<int>(message.size()),
                        &parsed) == 0 &&
           ns_msg_getflag(parsed, ns_f_qr) == 1;
}

std::vector<std::string> DnsAnswerAddresses(const std::string &message)
{
    std::vector<std::string> addresses;
    ns_msg parsed;
    if (ns_initparse(reinterpret_cast<const unsigned char *>(message.data()), static_cast<int>(message.size()),
                     &parsed) != 0)
        return addresses;
    for (int index = 0; index < ns_msg_count(parsed, ns_s_an); ++index) {
        ns_rr record;
        char text[INET_ADDRSTRLEN];
        if (ns_parserr(&parsed, ns_s_an, index, &record) == 0 && ns_rr_type(record) == ns_t_a &&
            ns_rr_rdlen(record) == 4 && inet_ntop(AF_INET, ns_rr_rdata(record), text, sizeof(text)) != nullptr)
            addresses.emplace_back(text);
    }
    return addresses;
}

std::string EchoAnswer(const std::string &query)
{
    if (query.size() < header_bytes || (static_cast<unsigned char>(query[2]) & response_bit) != 0)
        return std::string();
    std::string answer = query;
    answer[2] = static_cast<char>(static_cast<unsigned char>(answer[2]) | response_bit);
    return answer;
}
