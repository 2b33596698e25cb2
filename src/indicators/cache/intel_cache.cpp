#include "indicators/cache/intel_cache.h"

#include <mutex>
#include <stdexcept>
#include <utility>

#include "common/json_reader.h"
#include "common/name_tables.h"
#include "common/thread_toolkit.h"
#include "vd_config.h"

namespace vppCache {
namespace {

// What the "cache" object configures. A max_size of 0 stands for a
// configuration that could not be read.
struct Settings {
    FlowKeys flow_keys;
    size_t max_size = 0;
    int64_t max_age = 0;
    std::string filename;
};

// A configuration problem, logged after the name being read.
class Problem : public std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// Reads the "cache" object key by key. The first problem stops the reading
// and is logged (debug) with the name being read: the key, or inside
// "flow_keys" the last flow-key name read.
class SettingsReader
{
public:
    SettingsReader(const std::string &tag, const json &conf) : tag(tag), conf(conf) {}

    Settings Read()
    {
        try {
            ReadFlowKeys();
            ReadMaxSize();
            ReadMaxAge();
            ReadFilename();
        } catch (const Problem &e) {
            vd_dprintf("%s: %s %s\n", tag.c_str(), reading.c_str(), e.what());
        } catch (const vdException &e) {
            vd_dprintf("%s: %s %s\n", tag.c_str(), reading.c_str(), e.what());
        } catch (const std::exception &e) {
            vd_dprintf("%s: %s not found or is invalid: %s\n", tag.c_str(), reading.c_str(), e.what());
        }
        return settings;
    }

private:
    void ReadFlowKeys()
    {
        reading = "flow_keys";
        const json &names = conf.at("flow_keys");
        if (!names.is_array())
            throw Problem("must be an array");
        FlowKeys combined;
        for (const json &element : names) {
            // A non-string element is the JSON library's type error.
            reading = element.get<std::string>();
            auto key = vppNames::FindFlowKey(reading);
            if (!key)
                throw Problem("invalid flow_key");
            combined |= *key;
        }
        if (!combined.any())
            throw Problem("at least one flow key must be set");
        settings.flow_keys = combined;
    }

    void ReadMaxSize()
    {
        reading = "max_size";
        auto max_size = vppJson::Lenient::Unsigned64(conf.at("max_size"));
        if (!max_size)
            throw Problem("must be an unsigned integer");
        if (*max_size == 0)
            throw Problem("must be greater than zero");
        settings.max_size = *max_size;
    }

    // Kept for the record: nothing expires by age.
    void ReadMaxAge()
    {
        reading = "max_age";
        const json *max_age = vppJson::FindMember(conf, "max_age");
        auto value = max_age != nullptr ? vppJson::Lenient::Unsigned64(*max_age) : std::nullopt;
        settings.max_age = value && std::in_range<int64_t>(*value) ? static_cast<int64_t>(*value) : 0;
    }

    void ReadFilename()
    {
        reading = "filename";
        const json *filename = vppJson::FindMember(conf, "filename");
        if (filename == nullptr || !filename->is_string() || filename->get_ref<const std::string &>().empty())
            return;
        settings.filename =
            vd_expand_variables(filename->get<std::string>(), vdGlobalConfig::GetInstance().variables);
    }

    const std::string &tag;
    const json &conf;
    std::string reading;
    Settings settings;
};

}  // namespace

std::shared_ptr<Store> Store::Create(const std::string &tag, const json &conf)
{
    Settings settings = SettingsReader(tag, conf).Read();
    // A capacity of 0 (a configuration that could not be read) throws here.
    auto store = std::make_shared<Store>(tag, settings.flow_keys, settings.max_age, settings.max_size);
    if (!settings.filename.empty()) {
        store->filename = settings.filename;
        store->Load();
    }
    return store;
}

Store::Store(const std::string &name, const FlowKeys &flow_keys, int64_t max_age, size_t max_size)
    : vdLRUCache(max_size, true), name(name), max_age(max_age), flow_keys(flow_keys)
{
}

Store::~Store()
{
    vppThread::Guard([this] { Save(); },
                     [this](const char *what) {
                         vd_printf("%s: Error saving flow intel cache: %s: %s\n", name.c_str(), filename.c_str(),
                                   what);
                     });
}

bool Store::Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &out) noexcept
{
    bool hit = false;
    vppThread::Guard(
        [&] {
            std::string key;
            hit = KeyOrLog(flow, key) && CacheLookup(key, out);
        },
        [&](const char *what) {
            hit = false;
            vd_printf("%s: intel cache lookup failed: %s\n", name.c_str(), what);
        });
    return hit;
}

void Store::Insert(const vdFlow::Ptr &flow, const vppIntel::Entry &entry) noexcept
{
    vppThread::Guard(
        [&] {
            std::string key;
            if (KeyOrLog(flow, key))
                CacheInsert(key, entry, false);
        },
        [&](const char *what) { vd_printf("%s: intel cache insert failed: %s\n", name.c_str(), what); });
}

bool Store::KeyOrLog(const vdFlow::Ptr &flow, std::string &key)
{
    try {
        MakeKey(flow, key);
        return true;
    } catch (const vdException &e) {
        // Once at the operational level, then at debug level: a host that
        // sends many such flows must not flood the log.
        if (!reported_keyless.exchange(true))
            vd_printf("%s (flow not cached)\n", e.what());
        else
            vd_dprintf("%s (flow not cached)\n", e.what());
        return false;
    }
}

void Store::Invalidate()
{
    std::lock_guard<std::mutex> guard(lock);
    recency.clear();
    entries.clear();
}

}  // namespace vppCache
