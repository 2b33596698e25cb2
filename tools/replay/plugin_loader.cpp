#include "plugin_loader.h"

#include <dlfcn.h>

#include <exception>

void PluginStopper::operator()(vdPlugin *plugin) const
{
    plugin->Terminate();
    delete plugin;
}

namespace {

std::string DlError()
{
    const char *message = dlerror();
    return message ? message : "unknown error";
}

vdPlugin *CallInit(vdPluginInitFunction init, const std::string &tag, const std::map<std::string, std::string> &params)
{
    try {
        return init(tag, params);
    } catch (const std::exception &error) {
        throw LoadError(std::string("vdPluginInit failed: ") + error.what());
    } catch (...) {
        throw LoadError("vdPluginInit failed with an unknown exception");
    }
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string &path) : path(path)
{
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw LoadError("cannot load " + path + ": " + DlError());
}

PluginLibrary::~PluginLibrary()
{
    dlclose(handle);
}

ProcessorPtr PluginLibrary::CreateProcessor(const std::string &tag, const std::map<std::string, std::string> &params,
                                            uint8_t type)
{
    dlerror();
    auto init = reinterpret_cast<vdPluginInitFunction>(dlsym(handle, "vdPluginInit"));
    if (!init)
        throw LoadError(path + ": no vdPluginInit: " + DlError());

    vdPlugin::SetCreateType(type);
    std::unique_ptr<vdPlugin, PluginStopper> plugin(CallInit(init, tag, params));
    if (!plugin)
        throw LoadError(path + ": vdPluginInit returned no plug-in");
    auto *processor = dynamic_cast<vdPluginProcessor *>(plugin.get());
    if (!processor)
        throw LoadError(path + ": the plug-in is not a processor plug-in");
    plugin.release();
    return ProcessorPtr(processor);
}
