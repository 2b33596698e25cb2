#include "soak/soak_host.h"

#include <dlfcn.h>

#include <filesystem>
#include <set>
#include <stdexcept>

#include "soak/flow_plan.h"

namespace {

vdPluginInitFunction PluginInit()
{
    static void *handle = dlopen(PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto init = reinterpret_cast<vdPluginInitFunction>(dlsym(handle, "vdPluginInit"));
    if (init == nullptr)
        throw std::runtime_error("vdPluginInit not found");
    return init;
}

}  // namespace

SoakHost::SoakHost(const std::string &state_root, IntelLedger &ledger, uint8_t verbosity)
    : root(state_root), ledger(ledger)
{
    config.verbosity = verbosity;
    const auto &stable = StableIndicators();
    for (size_t index = 0; index < stable.size(); index++)
        stable_index[stable[index].name] = index;

    config.path_plugin_state = root + "/state";
    config.path_legacy_intel = root + "/legacy.json";
    config.path_state_persistent = PersistentPath();
    config.variables["path_state_persistent"] = PersistentPath();
    std::filesystem::create_directories(config.path_plugin_state);
    std::filesystem::create_directories(PersistentPath());

    instance.api_manager = std::make_shared<vdVelborApiManager>();
    instance.plugin_manager = std::make_shared<vdPluginManager>();
    instance.plugin_manager->SetProcessorHandler(
        [this](const std::string &name, vdPluginProcessor::Event, const vdFlow::Ptr &flow, const json &document) {
            OnRecord(name, flow, document);
        });
    instance.plugin_manager->SetSinkHandler(
        [this](const std::string &, const std::set<std::string> &, const json &, vdFlags<vdPlugin::DispatchFlags>) {
            sink_payloads++;
        });
}

SoakHost::~SoakHost()
{
    if (plugin != nullptr) {
        plugin->Terminate();
        Delete();
    }
    instance.plugin_manager->SetProcessorHandler(nullptr);
    instance.plugin_manager->SetSinkHandler(nullptr);
}

vdPluginProcessor &SoakHost::Start()
{
    vdPlugin *created = PluginInit()(plugin_tag, {{"conf_filename", ConfPath()}});
    plugin = dynamic_cast<vdPluginProcessor *>(created);
    if (plugin == nullptr) {
        delete created;
        throw std::runtime_error("the library made no processor plug-in");
    }
    plugin->Create();
    return *plugin;
}

void SoakHost::Delete()
{
    delete plugin;
    plugin = nullptr;
}

void SoakHost::OnRecord(const std::string &name, const vdFlow::Ptr &flow, const json &document)
{
    if (name != audit_target)
        return;
    records++;
    auto id = document.find("id");
    if (id != document.end() && id->is_number_unsigned())
        ledger.Id(id->get<uint64_t>());
    auto indicator = document.find("indicator");
    auto stable = indicator != document.end() && indicator->is_string() ? stable_index.find(indicator->get<std::string>())
                                                                      : stable_index.end();
    if (stable == stable_index.end() || !flow || (flow->digest & ~sequence_mask) != digest_tag) {
        ledger.Other();
        return;
    }
    ledger.Received(flow->digest & sequence_mask, stable->second);
}
