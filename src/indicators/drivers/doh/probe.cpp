#include "indicators/drivers/doh/probe.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "vd_config.h"

namespace {

constexpr size_t query_buffer_size = 2048;
constexpr const char *dns_message_type = "application/dns-message";
constexpr uint16_t https_port = 443;

// ASCII only, whatever the process's locale.
bool IsHostNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

}  // namespace

vpiDOHProbe::vpiDOHProbe(const std::string &tag, std::vector<uint8_t> query, std::vector<std::string> routes,
                         long timeout, const std::atomic<bool> &stop)
    : tag(tag), query(std::move(query)), routes(std::move(routes)), timeout(timeout), stop(stop)
{
}

vpiDOHProbe::~vpiDOHProbe()
{
    if (curl != nullptr)
        curl_easy_cleanup(curl);
    if (headers != nullptr)
        curl_slist_free_all(headers);
    if (connect_to != nullptr)
        curl_slist_free_all(connect_to);
}

std::vector<uint8_t> vpiDOHProbe::MakeQuery(const std::string &tag, const std::string &name)
{
    std::vector<uint8_t> message(query_buffer_size);
    int length = res_mkquery(ns_o_query, name.c_str(), ns_c_in, ns_t_a, nullptr, 0, nullptr, message.data(),
                             static_cast<int>(message.size()));
    if (length < 1)
        throw vdException("%s: res_mkquery: %s: %d", tag.c_str(), name.c_str(), length);
    message.resize(static_cast<size_t>(length));
    vd_dprintf("%s: constructed DNS query payload: %s: %d bytes\n", tag.c_str(), name.c_str(), length);
    return message;
}

bool vpiDOHProbe::IsPlainHostName(const std::string &name)
{
    return !name.empty() && name.size() <= max_host_name_length &&
           std::all_of(name.begin(), name.end(), IsHostNameCharacter);
}

std::string vpiDOHProbe::MakeURL(const std::string &host, const vdAddr &address, const std::string &route)
{
    std::string url = "https://";
    if (IsPlainHostName(host)) {
        url += host;
    } else {
        std::string text;
        vdAddr::MakeString(address, text, vdAddr::MakeFlags::ipv6_uri);
        url += text;
    }
    if (address.GetPort(true) != https_port)
        url += ":" + std::to_string(address.GetPort(true));
    if (route.empty() || route.front() != '/')
        url += '/';
    return url + route;
}

vpiDOHProbe::Result vpiDOHProbe::Scan(const std::string &host, vpiDOHScannerFlowCacheEntry &entry)
{
    if (curl == nullptr)
        Setup();
    PinTo(entry.address);
    Result result = Result::not_detected;
    for (const std::string &route : routes) {
        if (stop)
            return Result::stopped;
        entry.url = MakeURL(host, entry.address, route);
        Result outcome = Route(entry.url);
        if (outcome == Result::detected || outcome == Result::stopped)
            return outcome;
        if (outcome == Result::failed)
            result = Result::failed;
    }
    return result;
}

std::string vpiDOHProbe::ConnectTo(const vdAddr &address)
{
    std::string text;
    vdAddr::MakeString(address, text, vdAddr::MakeFlags::ipv6_uri);
    return "::" + text + ":" + std::to_string(address.GetPort(true));
}

void vpiDOHProbe::PinTo(const vdAddr &address)
{
    // The URL may carry the flow's name, which could point anywhere: every
    // connection, redirects included, goes to the flow's own server, and no
    // name is resolved.
    curl_slist *pinned = curl_slist_append(nullptr, ConnectTo(address).c_str());
    if (pinned == nullptr)
        throw vdException("%s: curl_slist_append: failed", tag.c_str());
    try {
        SetOption(CURLOPT_CONNECT_TO, "CURLOPT_CONNECT_TO", pinned);
    } catch (...) {
        curl_slist_free_all(pinned);
        throw;
    }
    // libcurl keeps the list in use until the next one is set.
    if (connect_to != nullptr)
        curl_slist_free_all(connect_to);
    connect_to = pinned;
}

template <class T> void vpiDOHProbe::SetOption(CURLoption option, const char *name, T value)
{
    CURLcode code = curl_easy_setopt(curl, option, value);
    if (code != CURLE_OK)
        throw vdException("%s: curl_easy_setopt: %s: %s [%d]", tag.c_str(), name, curl_easy_strerror(code), code);
}

void vpiDOHProbe::Setup()
{
    // All or nothing: a handle half set up would probe without limits.
    try {
        SetupHandle();
    } catch (...) {
        curl_easy_cleanup(curl);
        curl = nullptr;
        curl_slist_free_all(headers);
        headers = nullptr;
        throw;
    }
}

void vpiDOHProbe::SetupHandle()
{
    debug_curl = vdGlobalConfig::GetInstance().flags.test(vdGlobalFlags::debug_curl);
    const std::string agent = "User-Agent: " + vd_get_version_and_features(false);
    for (const std::string &line : {std::string("Content-Type: ") + dns_message_type, agent}) {
        curl_slist *longer = curl_slist_append(headers, line.c_str());
        if (longer == nullptr)
            throw vdException("%s: curl_slist_append: failed", tag.c_str());
        headers = longer;
    }
    curl = curl_easy_init();
    if (curl == nullptr)
        throw vdException("%s: curl_easy_init: failed", tag.c_str());

    SetOption(CURLOPT_ERRORBUFFER, "CURLOPT_ERRORBUFFER", curl_error);
    SetOption(CURLOPT_NOSIGNAL, "CURLOPT_NOSIGNAL", 1L);
    SetOption(CURLOPT_POST, "CURLOPT_POST", 1L);
    // Keeps the POST on 301 and 302 redirects.
    SetOption(CURLOPT_POSTREDIR, "CURLOPT_POSTREDIR", static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
    SetOption(CURLOPT_FOLLOWLOCATION, "CURLOPT_FOLLOWLOCATION", 1L);
    SetOption(CURLOPT_MAXREDIRS, "CURLOPT_MAXREDIRS", max_redirects);
    SetOption(CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", "https");
    SetOption(CURLOPT_REDIR_PROTOCOLS_STR, "CURLOPT_REDIR_PROTOCOLS_STR", "https");
    SetOption(CURLOPT_HEADERFUNCTION, "CURLOPT_HEADERFUNCTION", OnHeader);
    SetOption(CURLOPT_HEADERDATA, "CURLOPT_HEADERDATA", this);
    SetOption(CURLOPT_WRITEFUNCTION, "CURLOPT_WRITEFUNCTION", OnBody);
    SetOption(CURLOPT_WRITEDATA, "CURLOPT_WRITEDATA", &body);
    // A body announced larger than a DNS message is refused before it comes.
    SetOption(CURLOPT_MAXFILESIZE_LARGE, "CURLOPT_MAXFILESIZE_LARGE", static_cast<curl_off_t>(max_body_bytes));
    // Lets a stop abort a stalled request instead of waiting for its timeout.
    SetOption(CURLOPT_NOPROGRESS, "CURLOPT_NOPROGRESS", 0L);
    SetOption(CURLOPT_XFERINFOFUNCTION, "CURLOPT_XFERINFOFUNCTION", OnProgress);
    SetOption(CURLOPT_XFERINFODATA, "CURLOPT_XFERINFODATA", this);
    // Any server is probed: its certificate and name are not verified.
    SetOption(CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", 0L);
    SetOption(CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", 0L);
    SetOption(CURLOPT_HTTPHEADER, "CURLOPT_HTTPHEADER", headers);
    SetOption(CURLOPT_CONNECTTIMEOUT, "CURLOPT_CONNECTTIMEOUT", timeout);
    SetOption(CURLOPT_TIMEOUT, "CURLOPT_TIMEOUT", timeout);
    SetOption(CURLOPT_POSTFIELDSIZE, "CURLOPT_POSTFIELDSIZE", static_cast<long>(query.size()));
    SetOption(CURLOPT_POSTFIELDS, "CURLOPT_POSTFIELDS", query.data());
    if (debug_curl) {
        SetOption(CURLOPT_VERBOSE, "CURLOPT_VERBOSE", 1L);
        SetOption(CURLOPT_DEBUGFUNCTION, "CURLOPT_DEBUGFUNCTION", OnDebug);
        SetOption(CURLOPT_DEBUGDATA, "CURLOPT_DEBUGDATA", const_cast<char *>(tag.c_str()));
    }
}

vpiDOHProbe::Result vpiDOHProbe::Route(const std::string &url)
{
    response_headers.clear();
    body.clear();
    curl_error[0] = '\0';
    SetOption(CURLOPT_URL, "CURLOPT_URL", url.c_str());

    CURLcode code = curl_easy_perform(curl);
    long opened = 0;
    if (curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened) == CURLE_OK && opened > 0)
        connections += static_cast<uint64_t>(opened);
    if (code == CURLE_ABORTED_BY_CALLBACK && stop)
        return Result::stopped;
    long status = 0;
    if (code == CURLE_OK)
        code = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK) {
        vd_dprintf("%s: %s: %s [%d]\n", tag.c_str(), url.c_str(),
                   curl_error[0] != '\0' ? curl_error : curl_easy_strerror(code), code);
        return Result::failed;
    }
    if (status != 200) {
        vd_dprintf("%s: %s: HTTP: %ld\n", tag.c_str(), url.c_str(), status);
        return Result::not_detected;
    }
    return IsDoHAnswer(url) ? Result::detected : Result::not_detected;
}

bool vpiDOHProbe::IsDoHAnswer(const std::string &url)
{
    const std::string type = ContentType();
    vd_dprintf("%s: content-type: %s\n", tag.c_str(), type.c_str());
    // Exactly the type, no parameters: what DoH servers send.
    if (type != dns_message_type || !ValidateDNSMessage(body))
        return false;
    vd_printf("%s: %s: DoH server detected.\n", tag.c_str(), url.c_str());
    return true;
}

std::string vpiDOHProbe::ContentType()
{
    char *type = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr)
        return type;
    auto found = response_headers.find("content-type");
    return found != response_headers.end() ? found->second : std::string();
}

bool vpiDOHProbe::ValidateDNSMessage(const std::vector<uint8_t> &message) const
{
    if (message.size() < 2)
        return false;
    ns_msg parsed;
    if (ns_initparse(message.data(), static_cast<int>(message.size()), &parsed) == 0)
        return true;
    // A message behind a 2-byte length, as on a DNS stream.
    if (ns_initparse(message.data() + 2, static_cast<int>(message.size() - 2), &parsed) == 0)
        return true;
    vd_dprintf("%s: DNS packet parsing error: %s, length: %hu\n", tag.c_str(), strerror(errno),
               static_cast<unsigned short>(message.size()));
    return false;
}

void vpiDOHProbe::ParseHeader(const std::string &line)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= line.size())
        return;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    vd_trim(name);
    vd_trim(value);
    if (response_headers.count(name) != 0 || response_headers.size() >= max_response_headers)
        return;
    if (debug_curl)
        vd_dprintf("%s: header: %s: %s\n", tag.c_str(), name.c_str(), value.c_str());
    response_headers.emplace(std::move(name), std::move(value));
}

size_t vpiDOHProbe::OnHeader(char *data, size_t size, size_t count, void *self)
{
    if (size != 1 || count == 0)
        return 0;
    // Nothing may unwind through libcurl: a failure ends the transfer.
    try {
        static_cast<vpiDOHProbe *>(self)->ParseHeader(std::string(data, count));
    } catch (...) {
        return 0;
    }
    return count;
}

size_t vpiDOHProbe::OnBody(char *data, size_t size, size_t count, void *out)
{
    auto &body = *static_cast<std::vector<uint8_t> *>(out);
    // libcurl passes size 1; a body past the bound ends the transfer.
    if (size != 1 || count > max_body_bytes - body.size())
        return 0;
    try {
        body.insert(body.end(), data, data + count);
    } catch (...) {
        return 0;
    }
    return count;
}

int vpiDOHProbe::OnProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<vpiDOHProbe *>(self)->stop ? 1 : 0;
}

int vpiDOHProbe::OnDebug(CURL *, curl_infotype type, char *data, size_t size, void *tag)
{
    try {
        LogTransfer(static_cast<const char *>(tag), type, data, size);
    } catch (...) {
    }
    return 0;
}

void vpiDOHProbe::LogTransfer(const char *name, curl_infotype type, const char *data, size_t size)
{
    const unsigned long length = size;
    switch (type) {
    case CURLINFO_TEXT:
        vd_dprintf("%s: %s", name, std::string(data, size).c_str());
        break;
    case CURLINFO_HEADER_IN:
        vd_dprintf("%s: <-- %s", name, std::string(data, size).c_str());
        break;
    case CURLINFO_HEADER_OUT:
        vd_dprintf("%s: --> %s", name, std::string(data, size).c_str());
        break;
    case CURLINFO_DATA_IN:
        vd_dprintf("%s: <-- %lu data bytes\n", name, length);
        break;
    case CURLINFO_DATA_OUT:
        vd_dprintf("%s: --> %lu data bytes\n", name, length);
        break;
    case CURLINFO_SSL_DATA_IN:
        vd_dprintf("%s: <-- %lu SSL bytes\n", name, length);
        break;
    case CURLINFO_SSL_DATA_OUT:
        vd_dprintf("%s: --> %lu SSL bytes\n", name, length);
        break;
    default:
        break;
    }
}
