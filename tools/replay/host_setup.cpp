#include "host_setup.h"

#include <filesystem>
#include <stdexcept>

#include "vd_plugin.h"

namespace {

void CreateStateDirectory(const std::string &path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error)
        throw std::runtime_error(path + ": cannot create the state directory: " + error.message());
    if (!std::filesystem::is_directory(path, error))
        throw std::runtime_error(path + ": not a directory");
}

void Configure(vdGlobalConfig &config, const ReplayOptions &options)
{
    config.path_plugin_state = options.state_dir;
    config.path_state_persistent = options.state_dir;
    config.path_legacy_intel = options.legacy_intel_path;
    config.verbosity = options.verbosity;
    if (options.debug)
        config.flags |= vdGlobalFlags::debug;
    config.variables["path_state_persistent"] = options.state_dir;
    for (const auto &[name, value] : options.variables)
        config.variables[name] = value;
}

json ChannelList(const std::set<std::string> &channels)
{
    json list = json::array();
    for (const auto &channel : channels)
        list.push_back(channel);
    return list;
}

void RouteToOutput(vdPluginManager &manager, LineWriter &output)
{
    manager.SetSinkHandler([&output](const std::string &sink, const std::set<std::string> &channels,
                                     const json &payload, vdFlags<vdPlugin::DispatchFlags> flags) {
        output.WriteJson(
            {{"sink", sink}, {"channels", ChannelList(channels)}, {"flags", flags.value()}, {"payload", payload}});
    });
    manager.SetProcessorHandler([&output](const std::string &name, vdPluginProcessor::Event code,
                                          const vdFlow::Ptr &flow, const json &document) {
        output.WriteJson({{"processor", name},
                          {"event", static_cast<unsigned>(code)},
                          {"digest", flow ? vd_xxh64_to_string(flow->digest) : std::string()},
                          {"record", document}});
    });
}

}  // namespace

HostSetup::HostSetup(const ReplayOptions &options, const vdVelborApiManager::Signatures &signatures,
                     const BootstrapData &bootstrap, LineWriter &output, LineWriter &log)
{
    CreateStateDirectory(options.state_dir);
    Configure(config, options);

    instance.api_manager = std::make_shared<vdVelborApiManager>();
    instance.api_manager->SetIntelSignatures(signatures);
    for (const auto &[type, data] : bootstrap)
        instance.api_manager->SetBootstrapData(type, data);

    instance.plugin_manager = std::make_shared<vdPluginManager>();
    RouteToOutput(*instance.plugin_manager, output);

    vd_log_set_debug(options.debug);
    vd_log_set_sink([&log](vdLogLevel, const std::string &line) { log.WriteLine(line); });
}

HostSetup::~HostSetup()
{
    instance.plugin_manager->SetSinkHandler(nullptr);
    instance.plugin_manager->SetProcessorHandler(nullptr);
    vd_log_set_sink(nullptr);
    vd_log_set_debug(false);
}
