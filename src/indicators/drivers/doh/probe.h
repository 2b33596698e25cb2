// One encrypted-DNS probe of one server: a fixed DNS query POSTed over HTTPS
// to each configured route until one answers as a DNS-over-HTTPS server.
// Every request is bounded in time, size and redirects.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "indicators/drivers/doh/server_lists.h"

class vpiDOHProbe
{
public:
    enum class Result : uint8_t {
        detected = 0,      // a route answered as a DoH server
        not_detected = 1,  // every route answered, none as a DoH server
        failed = 2,        // not detected, and a route failed at transfer level
        stopped = 3,       // the stop flag cut the probe short: no verdict
    };

    // Limits of one request, whatever the server sends.
    static constexpr long min_timeout = 1;
    // libcurl refuses a longer timeout, and a refused option means none.
    static constexpr long max_timeout = 2147483;
    // The largest DNS message behind a 2-byte length.
    static constexpr size_t max_body_bytes = 65537;
    static constexpr long max_redirects = 5;
    // Response header names kept per request; later new names are ignored.
    static constexpr size_t max_response_headers = 64;
    static constexpr size_t max_host_name_length = 253;

    // timeout: seconds, within min_timeout..max_timeout (checked by the
    // caller). stop, when set while a request runs, aborts it within about a
    // second. Threads: built on any thread, then used by one thread only.
    vpiDOHProbe(const std::string &tag, std::vector<uint8_t> query, std::vector<std::string> routes, long timeout,
                const std::atomic<bool> &stop);
    ~vpiDOHProbe();

    vpiDOHProbe(const vpiDOHProbe &) = delete;
    vpiDOHProbe &operator=(const vpiDOHProbe &) = delete;

    // Probes the server at its routes in order and sets entry.url to the
    // last URL tried. host is used in URLs only when it is a plain host
    // name; every connection goes to entry.address whatever the URL names.
    // Throws vdException when libcurl cannot be set up.
    Result Scan(const std::string &host, vpiDOHScannerFlowCacheEntry &entry);

    // A DNS query for name, class IN, type A. Throws vdException
    // "<tag>: res_mkquery: <name>: <result>" when it cannot be made.
    static std::vector<uint8_t> MakeQuery(const std::string &tag, const std::string &name);
    // Whether body is one DNS message, alone or behind a 2-byte length.
    bool ValidateDNSMessage(const std::vector<uint8_t> &body) const;
    // Records one response header line; the first value of a name wins.
    void ParseHeader(const std::string &line);

    // Letters, digits, '.', '-' and '_' only, at most 253 bytes: a name
    // that can neither change the URL's shape nor a list file's rows.
    static bool IsPlainHostName(const std::string &name);
    // "https://" host-or-address [":" port] "/" route: the host when it is
    // a plain host name, else the address (IPv6 in brackets); the port when
    // it is not 443; no second slash for a route that begins with one.
    static std::string MakeURL(const std::string &host, const vdAddr &address, const std::string &route);
    // The connect-to entry that sends every connection to address and its
    // port: "::" address ":" port, IPv6 in brackets.
    static std::string ConnectTo(const vdAddr &address);

    const std::map<std::string, std::string> &ResponseHeaders() const { return response_headers; }
    // Connections (TLS handshakes) opened so far.
    uint64_t Connections() const { return connections; }

    // libcurl's callbacks for the response's header lines (self: the probe)
    // and its body (body: the byte vector filled); open so that a reply can
    // be handed to them as libcurl hands it.
    static size_t OnHeader(char *data, size_t size, size_t count, void *self);
    static size_t OnBody(char *data, size_t size, size_t count, void *body);

private:
    // Builds the handle and its fixed options on the first probe.
    void Setup();
    void SetupHandle();
    void PinTo(const vdAddr &address);
    Result Route(const std::string &url);
    bool IsDoHAnswer(const std::string &url);
    std::string ContentType();
    template <class T> void SetOption(CURLoption option, const char *name, T value);

    static int OnProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static int OnDebug(CURL *, curl_infotype type, char *data, size_t size, void *tag);
    static void LogTransfer(const char *tag, curl_infotype type, const char *data, size_t size);

    const std::string tag;
    const std::vector<uint8_t> query;
    const std::vector<std::string> routes;
    const long timeout;
    const std::atomic<bool> &stop;

    CURL *curl = nullptr;
    curl_slist *headers = nullptr;
    curl_slist *connect_to = nullptr;  // of the current probe
    char curl_error[CURL_ERROR_SIZE] = {};
    std::map<std::string, std::string> response_headers;
    std::vector<uint8_t> body;  // of the current request
    bool debug_curl = false;
    uint64_t connections = 0;
};
