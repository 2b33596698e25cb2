// One line of the replay host's events input through its reader, as the
// replay reads it in its turn (a "signatures" line reads the file it names).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "event_reader.h"
#include "support/fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host::Get();
    const std::string line(reinterpret_cast<const char *>(data), size);
    try {
        ReadSelfContainedRequest(line);
    } catch (const std::exception &) {
        // Refused with a message naming the member; that is the reader's job.
    }
    try {
        ReadRequest(line);
    } catch (const std::exception &) {
    }
    return 0;
}
