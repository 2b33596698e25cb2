// A processor plug-in that takes every event and does nothing with it: run
// by the replay host, it leaves the host's own reading as the whole cost.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "vd_plugin.h"

namespace {

class NullPlugin : public vdPluginProcessor
{
public:
    using vdPluginProcessor::vdPluginProcessor;

    ~NullPlugin() override
    {
        Terminate();
        Join();
    }

    void *Entry() override
    {
        std::unique_lock<std::mutex> guard(lock);
        wake.wait(guard, [this] { return ShouldTerminate(); });
        return nullptr;
    }

    void Terminate() override
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            vdPluginProcessor::Terminate();
        }
        wake.notify_all();
    }

private:
    std::mutex lock;
    std::condition_variable wake;
};

}  // namespace

extern "C" vdPlugin *vdPluginInit(const std::string &tag, const std::map<std::string, std::string> &params)
{
    return new NullPlugin(tag, params);
}
