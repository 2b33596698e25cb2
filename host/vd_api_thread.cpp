// One HTTP(S) exchange with the web API per Perform call, through the libcurl
// easy interface. A handle is made per call: the thread performs requests
// rarely, and a fresh handle carries no state from a previous exchange.
#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>

#include <curl/curl.h>

#include "vd_api.h"
#include "vd_config.h"

namespace {

// A response beyond this is refused rather than buffered without bound.
constexpr size_t max_response_bytes = 16 * 1024 * 1024;

void InitializeCurlOnce()
{
    static std::once_flag once;
    // A throw leaves the flag unset, so a later call retries.
    std::call_once(once, [] {
        CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (rc != CURLE_OK)
            throw vdException("curl_global_init: %s", curl_easy_strerror(rc));
    });
}

struct CurlEasyCleanup {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct CurlListCleanup {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlList = std::unique_ptr<curl_slist, CurlListCleanup>;

// State shared with the curl callbacks of one exchange. Callbacks run inside
// C code, so they never throw: a failure is kept and rethrown after.
struct Exchange {
    vdVelborApiThread *thread = nullptr;
    size_t received = 0;
    bool oversized = false;
    std::exception_ptr failure;
};

size_t OnBody(char *data, size_t size, size_t count, void *context)
{
    auto *exchange = static_cast<Exchange *>(context);
    size_t length = size * count;
    if (length > max_response_bytes - exchange->received) {
        exchange->oversized = true;
        return 0;
    }
    try {
        exchange->thread->AppendContent(data, length);
    } catch (...) {
        exchange->failure = std::current_exception();
        return 0;
    }
    exchange->received += length;
    return length;
}

std::string ToLower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

void StoreHeaderLine(std::string_view line, std::map<std::string, std::string> &headers)
{
    // Each status line opens a new header block (an interim 100 Continue, a
    // proxy's CONNECT reply): only the final block describes the response.
    if (line.starts_with("HTTP/")) {
        headers.clear();
        return;
    }
    // Skip the blank line ending the block and obsolete folded continuations.
    if (line.empty() || line.front() == ' ' || line.front() == '\t')
        return;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return;
    std::string value(line.substr(colon + 1));
    vd_trim(value);
    headers[ToLower(line.substr(0, colon))] = std::move(value);
}

size_t OnHeader(char *data, size_t size, size_t count, void *context)
{
    auto *exchange = static_cast<Exchange *>(context);
    size_t length = size * count;
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    try {
        StoreHeaderLine(line, exchange->thread->headers_response);
    } catch (...) {
        exchange->failure = std::current_exception();
        return 0;
    }
    return length;
}

// Lets Terminate cut a slow exchange short instead of waiting out the timeout.
int OnProgress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Exchange *>(context)->thread->ShouldTerminate() ? 1 : 0;
}

// Verbose output goes to the host log, with credentials masked.
int OnDebug(CURL *, curl_infotype type, char *data, size_t size, void *context)
{
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return 0;
    const char *direction = type == CURLINFO_HEADER_IN ? "<" : type == CURLINFO_HEADER_OUT ? ">" : "*";
    const auto *tag = static_cast<const std::string *>(context);
    std::string_view text(data, size);
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string line(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        vd_rtrim(line);
        if (line.empty())
            continue;
        if (ToLower(line).starts_with("authorization:"))
            line = "Authorization: <masked>";
        vd_printf("%s: curl %s %s\n", tag->c_str(), direction, line.c_str());
    }
    return 0;
}

bool CurlDebugRequested()
{
    try {
        return vdGlobalConfig::HasInstance() && vdGlobalConfig::GetInstance().flags.test(vdGlobalFlags::debug_curl);
    } catch (const vdException &) {
        return false;  // The host config went away between the two calls.
    }
}

// Line breaks and NUL: a header holding one would smuggle extra headers in.
bool HasLineBreak(const std::string &text)
{
    constexpr std::string_view breaks("\r\n\0", 3);
    return text.find_first_of(breaks) != std::string::npos;
}

void CheckRequestHeader(const std::string &tag, const std::string &name, const std::string &value)
{
    if (name.empty() || HasLineBreak(name) || name.find_first_of(": \t") != std::string::npos)
        throw vdException("%s: invalid request header name: \"%s\"", tag.c_str(), name.c_str());
    if (HasLineBreak(value))
        throw vdException("%s: invalid value of request header %s", tag.c_str(), name.c_str());
}

void Append(const std::string &line, CurlList &list)
{
    curl_slist *extended = curl_slist_append(list.get(), line.c_str());
    if (extended == nullptr)
        throw vdException("curl_slist_append: out of memory");
    list.release();
    list.reset(extended);
}

CurlList BuildRequestHeaders(const vdVelborApiThread &thread)
{
    CurlList list;
    bool expect_given = false;
    for (const auto &[name, value] : thread.headers_request) {
        CheckRequestHeader(thread.tag, name, value);
        expect_given = expect_given || ToLower(name) == "expect";
        // curl drops a header written "Name:" with nothing after; "Name;" sends it empty.
        Append(value.empty() ? name + ";" : name + ": " + value, list);
    }
    if (!thread.auth_method.bearer_token.empty()) {
        CheckRequestHeader(thread.tag, "Authorization", thread.auth_method.bearer_token);
        Append("Authorization: Bearer " + thread.auth_method.bearer_token, list);
    }
    // Waiting for "100 Continue" before a large body only adds a round trip.
    if (!expect_given)
        Append("Expect:", list);
    return list;
}

const char *MethodName(uint8_t method)
{
    return method == vdVelborApiThread::method_post ? "POST" : "GET";
}

}  // namespace

vdVelborApiThread::vdVelborApiThread(const std::string &tag, const vdVelborApiData::AuthMethod &auth_method)
    : vdThread(tag), auth_method(auth_method)
{
}

// Handles live only for the span of one Perform, so nothing is left to free.
vdVelborApiThread::~vdVelborApiThread() = default;

void vdVelborApiThread::Perform(uint8_t method, const std::string &url, const std::string &body)
{
    if (method != method_get && method != method_post)
        throw vdException("%s: unsupported request method: %u", tag.c_str(), static_cast<unsigned>(method));

    content.clear();
    content_type.clear();
    headers_response.clear();
    response_code = 0;

    InitializeCurlOnce();
    CurlEasy handle(curl_easy_init());
    if (handle == nullptr)
        throw vdException("%s: curl_easy_init failed", tag.c_str());
    CurlList request_headers = BuildRequestHeaders(*this);

    Exchange exchange;
    exchange.thread = this;
    char error_text[CURL_ERROR_SIZE] = {};
    const std::string user_agent = vd_get_version_and_features(false);
    CURL *curl = handle.get();

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeout_connect);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout_total);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, user_agent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, request_headers.get());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange);
    if (method == method_post) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    }
    if (CurlDebugRequested()) {
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &tag);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    }

    CURLcode rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response_code);
    char *type = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr)
        content_type = type;

    if (exchange.failure)
        std::rethrow_exception(exchange.failure);
    if (exchange.oversized)
        throw vdException("%s: %s %s: response exceeds %zu bytes", tag.c_str(), MethodName(method), url.c_str(),
                          max_response_bytes);
    if (rc == CURLE_ABORTED_BY_CALLBACK)
        throw vdException("%s: %s %s: aborted, thread terminating", tag.c_str(), MethodName(method), url.c_str());
    if (rc != CURLE_OK)
        throw vdException("%s: %s %s: %s", tag.c_str(), MethodName(method), url.c_str(),
                          error_text[0] != '\0' ? error_text : curl_easy_strerror(rc));
}
