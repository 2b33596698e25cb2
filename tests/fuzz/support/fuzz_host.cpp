#include "support/fuzz_host.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/json_reader.h"
#include "flow_reader.h"
#include "vd_api.h"
#include "vd_common.h"

namespace vppFuzz {
namespace {

[[noreturn]] void Fail(const std::string &what)
{
    std::fprintf(stderr, "fuzz set-up: %s\n", what.c_str());
    std::abort();
}

bool EnvironmentFlag(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

std::string MakeScratch()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/intel-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        Fail(pattern + ": " + std::strerror(errno));
    return buffer.data();
}

// Reaches every lookup kind of the drivers and feeds; addresses from the
// documentation ranges that seeds and dictionaries use too.
const char *const sample_flows[] = {
    R"({"digest":"0123456789abcdef","ip_version":4,"ip_protocol":6,"lower_addr":"192.0.2.10",
        "upper_addr":"198.51.100.23","lower_port":49152,"upper_port":443,"lower_map":1,"origin":1,
        "other_type":5,"detected_protocol":91,"detected_protocol_name":"TLS","detected_application":10,
        "host_server_name":"www.example.com","ssl_version":769,"ssl_cipher_suite":49199,"risks":[1,2],
        "category":{"application":3,"protocol":4,"domain":5},"lower_mac":"00:11:22:33:44:55",
        "upper_mac":"aa:bb:cc:dd:ee:ff","ip_nat":true,"iface":{"ifname":"eth0","role":1},
        "stats":{"total_bytes":12345,"total_packets":20}})",
    R"({"digest":"fedcba9876543210","digest_prev":["0123456789abcdef"],"ip_version":6,"ip_protocol":17,
        "lower_addr":"2001:db8::10","upper_addr":"2001:db8:7::1","lower_port":5353,"upper_port":53,
        "lower_map":2,"origin":2,"other_type":5,"detected_protocol":5,"detected_protocol_name":"DNS",
        "host_server_name":"tracker.example.net"})",
};

}  // namespace

Host &Host::Get()
{
    static Host host;
    return host;
}

Host::Host() : scratch(MakeScratch())
{
    config.path_plugin_state = scratch;
    config.path_state_persistent = scratch;
    config.path_legacy_intel = scratch + "/legacy.json";
    config.variables["path_plugin_state"] = scratch;
    config.variables["path_state_persistent"] = scratch;
    config.variables["path_legacy_intel"] = config.path_legacy_intel;
    config.verbosity = 3;
    instance.api_manager = std::make_shared<vdVelborApiManager>();
    if (chdir(scratch.c_str()) != 0)
        Fail(scratch + ": " + std::strerror(errno));

    // Every line is formatted, so that a bad argument for a format shows.
    vd_log_set_debug(true);
    if (!EnvironmentFlag("FUZZ_LOG"))
        vd_log_set_sink([](vdLogLevel, const std::string &) {});
}

Host::~Host()
{
    vd_log_set_sink(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

std::string Host::Path(const std::string &name) const
{
    return scratch + "/" + name;
}

void Host::WriteFile(const std::string &path, const uint8_t *data, size_t size) const
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    file.close();
    if (!file)
        Fail(path + ": cannot write");
}

void Host::WriteFile(const std::string &path, const std::string &text) const
{
    WriteFile(path, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

vdFlow::Ptr FlowFromJson(const std::string &text)
{
    try {
        auto flow = std::make_shared<vdFlow>();
        ReadFlow(vppJson::ParseText(text, "sample flow"), *flow, "flow");
        return flow;
    } catch (const std::exception &e) {
        Fail(std::string("sample flow: ") + e.what());
    }
}

std::vector<vdFlow::Ptr> SampleFlows()
{
    std::vector<vdFlow::Ptr> flows;
    for (const char *text : sample_flows)
        flows.push_back(FlowFromJson(text));
    return flows;
}

void RequireConfinedWrites(const char *target)
{
    if (EnvironmentFlag("FUZZ_UNCONFINED"))
        return;
    struct statvfs root {
    };
    if (statvfs("/", &root) == 0 && (root.f_flag & ST_RDONLY) != 0)
        return;
    std::fprintf(stderr,
                 "%s: its inputs name files the plug-in writes; run it through scripts/fuzz, which confines\n"
                 "its writes to the run's directory (or set FUZZ_UNCONFINED=1 at your own risk).\n",
                 target);
    std::exit(2);
}

}  // namespace vppFuzz
