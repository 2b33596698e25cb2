// The exported entry through which the host creates the plug-in.
#include <memory>

#include "core/plugin.h"

extern "C" __attribute__((visibility("default"))) vdPlugin *
vdPluginInit(const std::string &tag, const std::map<std::string, std::string> &params)
{
    auto plugin = std::make_unique<vppPlugin>(tag, params);
    if (plugin->type == vdPlugin::type_processor || plugin->type == vdPlugin::type_sink)
        return plugin.release();
    vd_printf("Invalid plugin type: %s [%u]\n", tag.c_str(), static_cast<unsigned>(plugin->type));
    return nullptr;
}
