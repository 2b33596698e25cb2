// The host's store of web-API bootstrap data and offered signatures. The host
// replaces them while plug-in threads read, so every access holds the lock;
// bootstrap data is handed out as shared immutable snapshots.
#include "vd_api.h"

std::shared_ptr<const vdVelborApiData> vdVelborApiManager::GetBootstrapData(uint8_t type) const
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = bootstrap.find(type);
    return it == bootstrap.end() ? nullptr : it->second;
}

void vdVelborApiManager::GetIntelSignatures(Signatures &out) const
{
    std::lock_guard<std::mutex> guard(lock);
    out = signatures;
}

void vdVelborApiManager::SetBootstrapData(uint8_t type, std::shared_ptr<const vdVelborApiData> data)
{
    std::lock_guard<std::mutex> guard(lock);
    // Null withdraws the data, so readers see "absent" rather than an empty object.
    if (data == nullptr)
        bootstrap.erase(type);
    else
        bootstrap[type] = std::move(data);
}

void vdVelborApiManager::SetIntelSignatures(const Signatures &replacement)
{
    // Copy before locking and free the old set after, keeping readers' waits short.
    Signatures copy = replacement;
    {
        std::lock_guard<std::mutex> guard(lock);
        signatures.swap(copy);
    }
}
