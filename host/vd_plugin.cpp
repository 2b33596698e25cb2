// Plug-in base classes and the plug-in manager's dispatch.
#include <atomic>

#include "vd_config.h"
#include "vd_plugin.h"

namespace {
std::atomic<uint8_t> create_type{vdPlugin::type_processor};
}

vdPlugin::vdPlugin(const std::string &tag) : vdThread(tag), type(create_type.load()) {}

vdPlugin::~vdPlugin() = default;

void vdPlugin::SetCreateType(uint8_t type)
{
    create_type = type;
}

void vdPlugin::DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels, const json &payload,
                                   vdFlags<DispatchFlags> flags)
{
    auto manager = vdInstance::GetInstance().plugin_manager;
    if (manager)
        manager->DispatchSinkPayload(sink, channels, payload, flags);
}

vdPluginProcessor::vdPluginProcessor(const std::string &tag, const std::map<std::string, std::string> &params)
    : vdPlugin(tag)
{
    auto it = params.find("conf_filename");
    if (it != params.end())
        conf_filename = it->second;
}

vdPluginProcessor::~vdPluginProcessor() = default;

void vdPluginManager::DispatchProcessorEvent(const std::string &name, vdPluginProcessor::Event code,
                                             const vdFlow::Ptr &flow, const json &document)
{
    std::lock_guard<std::mutex> guard(lock);
    if (processor_handler)
        processor_handler(name, code, flow, document);
}

void vdPluginManager::DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels,
                                          const json &payload, vdFlags<vdPlugin::DispatchFlags> flags)
{
    std::lock_guard<std::mutex> guard(lock);
    if (sink_handler)
        sink_handler(sink, channels, payload, flags);
}

void vdPluginManager::SetSinkHandler(SinkHandler handler)
{
    std::lock_guard<std::mutex> guard(lock);
    sink_handler = std::move(handler);
}

void vdPluginManager::SetProcessorHandler(ProcessorHandler handler)
{
    std::lock_guard<std::mutex> guard(lock);
    processor_handler = std::move(handler);
}
