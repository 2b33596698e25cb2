// The event-id file through the plug-in's LoadEventId, then the ids handed
// out across a restart: far from the largest id they must keep rising.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <string>

#include "core/plugin.h"
#include "support/fuzz_host.h"

namespace {

// Below this the saved id always leaves room for a new reservation.
constexpr uint64_t rising_ids_bound = std::numeric_limits<uint64_t>::max() - 2 * vppPlugin::event_id_reservation;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vppFuzz::Host &host = vppFuzz::Host::Get();
    const std::map<std::string, std::string> params = {{"conf_filename", host.Path("intel.json")}};
    host.WriteFile(host.config.path_plugin_state + "/intel.event-id", data, size);

    std::optional<uint64_t> before;
    {
        vppPlugin plugin("intel", params);
        plugin.LoadEventId();
        before = plugin.NextEventId();
        plugin.SaveEventId();
    }
    vppPlugin restarted("intel", params);
    restarted.LoadEventId();
    const std::optional<uint64_t> after = restarted.NextEventId();
    if (before && *before < rising_ids_bound && (!after || *after <= *before)) {
        std::fprintf(stderr, "event ids: %llu handed out before a restart, %s after it\n",
                     static_cast<unsigned long long>(*before), after ? std::to_string(*after).c_str() : "none");
        std::abort();
    }
    return 0;
}
