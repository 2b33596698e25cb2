// The host's singletons: registered by their constructors, removed by their
// destructors.
#include <atomic>

#include "vd_config.h"

namespace {
std::atomic<vdGlobalConfig *> global_config{nullptr};
std::atomic<vdInstance *> global_instance{nullptr};

template <typename T> void Register(std::atomic<T *> &slot, T *self, const char *what)
{
    T *expected = nullptr;
    if (!slot.compare_exchange_strong(expected, self))
        throw vdException("%s: instance exists", what);
}

template <typename T> void Unregister(std::atomic<T *> &slot, T *self)
{
    T *expected = self;
    slot.compare_exchange_strong(expected, nullptr);
}
}  // namespace

vdGlobalConfig::vdGlobalConfig()
{
    Register(global_config, this, "vdGlobalConfig");
}

vdGlobalConfig::~vdGlobalConfig()
{
    Unregister(global_config, this);
}

vdGlobalConfig &vdGlobalConfig::GetInstance()
{
    vdGlobalConfig *config = global_config.load();
    if (config == nullptr)
        throw vdException("%s: instance not found", "static vdGlobalConfig &vdGlobalConfig::GetInstance()");
    return *config;
}

bool vdGlobalConfig::HasInstance()
{
    return global_config.load() != nullptr;
}

vdInstance::vdInstance()
{
    Register(global_instance, this, "vdInstance");
}

vdInstance::~vdInstance()
{
    Unregister(global_instance, this);
}

vdInstance &vdInstance::GetInstance()
{
    vdInstance *instance = global_instance.load();
    if (instance == nullptr)
        throw vdException("%s: instance not found", "static vdInstance &vdInstance::GetInstance()");
    return *instance;
}

bool vdInstance::HasInstance()
{
    return global_instance.load() != nullptr;
}
