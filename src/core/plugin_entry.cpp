// The exported entry through which the host creates the plug-in.
#include "velbord.h"

namespace {

// Holds the plug-in's place in the host until its worker exists: it accepts
// every callback and produces nothing.
class PendingPlugin : public vdPluginProcessor
{
public:
    using vdPluginProcessor::vdPluginProcessor;
    ~PendingPlugin() override { Join(); }

    void *Entry() override { return nullptr; }
    void GetLibrary(std::string &out) override { out = "velbor-proc-intel"; }
    void GetName(std::string &out) override { out = "Velbor Processor Plugin Intel"; }
    void GetVersion(std::string &out) override { out = "1.2.36"; }
};

}  // namespace

extern "C" vdPlugin *vdPluginInit(const std::string &tag, const std::map<std::string, std::string> &params)
{
    return new PendingPlugin(tag, params);
}
