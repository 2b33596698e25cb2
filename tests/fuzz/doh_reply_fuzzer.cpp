// A probed server's HTTP reply as the prober sees it: the header lines go to
// its header callback one by one, the body to its body callback in pieces
// as libcurl delivers them, and a body taken whole to its DNS validation.
// The input is the reply: header lines up to the first empty line, then the
// body.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "indicators/drivers/doh/probe.h"
#include "support/fuzz_host.h"

namespace {

// The most libcurl hands a write callback at once (CURL_MAX_WRITE_SIZE).
constexpr size_t body_piece_size = 16 * 1024;

// Each header line with its line end, the empty line that ends them too; what
// follows the empty line is the body.
size_t FeedHeaders(vpiDOHProbe &probe, std::string &reply)
{
    size_t begin = 0;
    while (begin < reply.size()) {
        size_t end = reply.find('\n', begin);
        end = end == std::string::npos ? reply.size() : end + 1;
        std::string line = reply.substr(begin, end - begin);
        if (vpiDOHProbe::OnHeader(line.data(), 1, line.size(), &probe) != line.size())
            return std::string::npos;
        begin = end;
        if (line == "\r\n" || line == "\n")
            break;
    }
    return begin;
}

// Whether the body callback took the whole body.
bool FeedBody(char *body, size_t size, std::vector<uint8_t> &out)
{
    for (size_t offset = 0; offset < size; offset += body_piece_size) {
        const size_t piece = std::min(body_piece_size, size - offset);
        if (vpiDOHProbe::OnBody(body + offset, 1, piece, &out) != piece)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host::Get();
    static const std::atomic<bool> never_stop{false};

    std::string reply(reinterpret_cast<const char *>(data), size);
    vpiDOHProbe probe("doh", {}, {"dns-query"}, vpiDOHProbe::min_timeout, never_stop);
    const size_t body_begin = FeedHeaders(probe, reply);
    if (body_begin == std::string::npos)
        return 0;
    std::vector<uint8_t> body;
    if (FeedBody(reply.data() + body_begin, reply.size() - body_begin, body))
        probe.ValidateDNSMessage(body);
    return 0;
}
