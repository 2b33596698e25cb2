#include "soak/state_files.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "indicators/cache/intel_cache.h"
#include "indicators/drivers/doh/server_lists.h"
#include "vd_config.h"

namespace {

constexpr const char *cache_error = "Error loading flow intel cache";
constexpr const char *doh_error = "Error loading DoH server cache";

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void CheckEventId(const std::string &path, uint64_t last_id, StateCheck &check)
{
    std::string text = ReadAll(path);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    uint64_t saved = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), saved);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        check.problems.push_back(path + ": not an event id: '" + text + "'");
        return;
    }
    check.saved_event_id = saved;
    if (saved < last_id)
        check.problems.push_back(path + ": saved id " + std::to_string(saved) + " below the last id handed out " +
                                 std::to_string(last_id));
}

void CheckCache(const std::string &tag, const json &cache, SoakLog &log, StateCheck &check)
{
    const size_t errors = log.Count(cache_error);
    auto store = vppCache::Store::Create(tag, cache);
    if (!std::filesystem::exists(store->GetFilename()))
        check.problems.push_back(store->GetFilename() + ": missing");
    if (log.Count(cache_error) != errors)
        check.problems.push_back(store->GetFilename() + ": does not load cleanly");
    check.cache_files++;
    check.cache_records += store->CacheSize();
}

void CheckDohLists(const std::string &tag, const json &conf, SoakLog &log, StateCheck &check)
{
    const auto &variables = vdGlobalConfig::GetInstance().variables;
    const size_t errors = log.Count(doh_error);
    const std::string positive = vd_expand_variables(conf.at("cache_path_positive").get<std::string>(), variables);
    const std::string negative = vd_expand_variables(conf.at("cache_path_negative").get<std::string>(), variables);
    vpiDOHScannerFlowCache(1000, positive).Load(tag);
    vpiDOHScannerDigestCache(10000, negative).Load(tag);
    if (log.Count(doh_error) != errors)
        check.problems.push_back(positive + " or " + negative + ": does not load cleanly");
    check.doh_lists += 2;
}

// An intel cache file cut short, with a record's length or text turned to
// 0xff, or with junk after the last record, by turn.
std::string DamageCache(std::string text, size_t turn)
{
    switch (turn % 3) {
    case 0:
        text.resize(text.size() / 2 + 3);
        break;
    case 1:
        if (text.size() > 16)
            text.replace(text.size() / 3, 8, std::string(8, '\xff'));
        break;
    default:
        text += std::string("\x10\x00\x00\x00junk", 8);
        break;
    }
    return text;
}

// A DoH server list with a row that is none, first or last, by turn.
std::string DamageList(std::string text, size_t turn)
{
    const std::string bad_row = "not a row,\"\x01\n";
    const size_t header_end = text.find('\n');
    if (turn % 2 == 0 && header_end != std::string::npos)
        text.insert(header_end + 1, bad_row);
    else
        text += bad_row;
    return text;
}

}  // namespace

StateCheck CheckStateFiles(const std::string &event_id_path, const json &conf, uint64_t last_id, SoakLog &log)
{
    StateCheck check;
    CheckEventId(event_id_path, last_id, check);
    for (const auto &[tag, indicator] : conf.at("indicators").items()) {
        if (indicator.contains("cache"))
            CheckCache(tag, indicator["cache"], log, check);
        if (indicator.value("indicator_driver", "") == "doh_scanner")
            CheckDohLists(tag, indicator, log, check);
    }
    return check;
}

size_t DamageStateFiles(const std::string &dir)
{
    size_t caches = 0;
    size_t lists = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        const std::string path = entry.path().string();
        const std::string extension = entry.path().extension().string();
        if (extension == ".cache")
            WriteAll(path, DamageCache(ReadAll(path), caches++));
        else if (extension == ".csv")
            WriteAll(path, DamageList(ReadAll(path), lists++));
    }
    return caches + lists;
}
