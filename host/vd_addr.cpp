// Parsing and text forms of host addresses.
#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <cstring>

#include "vd_addr.h"
#include "vd_hex.h"

namespace {

bool ParsePrefixLength(const std::string &text, unsigned max, uint8_t &length)
{
    if (text.empty() || text.size() > 3)
        return false;
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > max)
        return false;
    length = static_cast<uint8_t>(value);
    return true;
}

// "xx:xx:xx:xx:xx:xx" (or with '-').
bool ParseMAC(const std::string &text, uint8_t *bytes)
{
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < 6; i++) {
        int high = vd_hex_digit(text[i * 3]), low = vd_hex_digit(text[i * 3 + 1]);
        if (high < 0 || low < 0)
            return false;
        if (i < 5 && text[i * 3 + 2] != ':' && text[i * 3 + 2] != '-')
            return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

bool BitsEqual(const uint8_t *a, const uint8_t *b, unsigned bits)
{
    unsigned whole = bits / 8;
    if (std::memcmp(a, b, whole) != 0)
        return false;
    unsigned rest = bits % 8;
    if (rest == 0)
        return true;
    uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}


}  // namespace

vdAddr::vdAddr(const vdAddr &other) : family(other.family), prefix_length(other.prefix_length), port(other.port)
{
    addr = other.addr;
}

vdAddr &vdAddr::operator=(const vdAddr &other)
{
    if (this != &other) {
        family = other.family;
        prefix_length = other.prefix_length;
        port = other.port;
        addr = other.addr;
        cached_flags = 0;
        cached_string.clear();
    }
    return *this;
}

bool vdAddr::Create(vdAddr &out, const std::string &text)
{
    out = vdAddr();
    std::string address = text;
    std::string length;
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        address = text.substr(0, slash);
        length = text.substr(slash + 1);
    }

    vdAddr parsed;
    if (inet_pton(AF_INET, address.c_str(), &parsed.addr.in4) == 1)
        parsed.family = ipv4;
    else if (inet_pton(AF_INET6, address.c_str(), &parsed.addr.in6) == 1)
        parsed.family = ipv6;
    else if (slash == std::string::npos && ParseMAC(address, parsed.addr.bytes))
        parsed.family = mac;
    else
        return false;

    parsed.prefix_length = static_cast<uint8_t>(vdAddr::FullLength(parsed.family));
    if (slash != std::string::npos && !ParsePrefixLength(length, vdAddr::FullLength(parsed.family), parsed.prefix_length))
        return false;
    out = parsed;
    return true;
}

bool vdAddr::Create(vdAddr &out, const std::string &text, uint16_t port_host_order)
{
    if (!Create(out, text))
        return false;
    out.port = htons(port_host_order);
    return true;
}

void vdAddr::MakeString(const vdAddr &address, std::string &text, vdFlags<MakeFlags> flags)
{
    text.clear();
    char buffer[INET6_ADDRSTRLEN + 16];
    switch (address.family) {
    case ipv4:
        inet_ntop(AF_INET, &address.addr.in4, buffer, sizeof(buffer));
        text = buffer;
        break;
    case ipv6:
        inet_ntop(AF_INET6, &address.addr.in6, buffer, sizeof(buffer));
        if (flags.test(MakeFlags::ipv6_uri) || flags.test(MakeFlags::port))
            text = std::string("[") + buffer + "]";
        else
            text = buffer;
        break;
    case mac: {
        const uint8_t *b = address.addr.bytes;
        std::snprintf(buffer, sizeof(buffer), "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
        text = buffer;
        return;
    }
    default:
        return;
    }
    if (flags.test(MakeFlags::prefix))
        text += "/" + std::to_string(address.prefix_length);
    if (flags.test(MakeFlags::port))
        text += ":" + std::to_string(address.GetPort(true));
}

uint32_t vdAddr::GetIPv4() const
{
    return family == ipv4 ? ntohl(addr.in4.s_addr) : 0;
}

bool vdAddr::SameAddress(const vdAddr &other) const
{
    return family == other.family && BitsEqual(addr.bytes, other.addr.bytes, FullLength(family));
}

bool vdAddr::InPrefix(const vdAddr &network) const
{
    if (family != network.family || family == none)
        return false;
    unsigned bits = network.prefix_length;
    if (bits > FullLength(family))
        bits = FullLength(family);
    return BitsEqual(addr.bytes, network.addr.bytes, bits);
}

unsigned vdAddr::FullLength(uint8_t family)
{
    switch (family) {
    case vdAddr::ipv4:
        return 32;
    case vdAddr::ipv6:
        return 128;
    case vdAddr::mac:
        return 48;
    default:
        return 0;
    }
}
