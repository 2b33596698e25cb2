// Loads a plug-in library and creates its processor plug-in, as the host does.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "vd_plugin.h"

// A library that cannot be loaded, or a plug-in that cannot be created.
class LoadError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Stops a plug-in the host's way: Terminate, then delete (which joins).
struct PluginStopper {
    void operator()(vdPlugin *plugin) const;
};

using ProcessorPtr = std::unique_ptr<vdPluginProcessor, PluginStopper>;

class PluginLibrary
{
public:
    // dlopen with RTLD_NOW | RTLD_LOCAL; throws LoadError.
    explicit PluginLibrary(const std::string &path);
    ~PluginLibrary();

    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    // Calls vdPluginInit with the type the host records set first. Throws
    // LoadError for a missing entry, an exception from it, a null result or
    // one that is not a processor plug-in. The plug-in must be stopped
    // before this library is closed.
    ProcessorPtr CreateProcessor(const std::string &tag, const std::map<std::string, std::string> &params,
                                 uint8_t type);

private:
    std::string path;
    void *handle = nullptr;
};
