#include "support/signature_gen.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "support/seeded_random.h"

namespace signature_gen {
namespace {

using Random = SeededRandom;

struct Weighted {
    const char *text;
    unsigned weight;
};

const char *DrawWeighted(Random &random, std::span<const Weighted> table)
{
    return random.PickWeighted(table, [](const Weighted &row) { return row.weight; }).text;
}

// ---- Domain names ------------------------------------------------------------------

constexpr Weighted top_level_domains[] = {
    {"com", 400}, {"net", 90}, {"org", 70}, {"ru", 40}, {"de", 40}, {"cn", 30},  {"info", 30}, {"xyz", 30},
    {"top", 30},  {"io", 25},  {"br", 20},  {"fr", 20}, {"jp", 20}, {"uk", 20},  {"online", 15}, {"site", 15},
    {"app", 15},  {"dev", 10}, {"biz", 10}, {"me", 10}, {"cc", 10}, {"tk", 10}, {"pw", 5},     {"club", 5},
};

constexpr std::string_view syllables[] = {
    "ka", "lo", "mi", "ne", "ru", "ta", "ve", "zo",  "an",  "be",  "co",  "di",  "fa",  "go",
    "hu", "ji", "ke", "la", "mo", "nu", "pa", "qui", "ro",  "si",  "tu",  "vi",  "wa",  "xe",
    "yo", "ze", "tra", "sto", "pri", "gle", "net", "web", "soft", "data", "link", "shop", "cloud", "byte",
};

constexpr std::string_view host_labels[] = {
    "www", "mail", "api",   "cdn",    "static", "img",   "login", "m",    "app",   "secure",
    "update", "dl", "auth", "ns1",    "smtp",   "files", "portal", "track", "ads",  "cloud",
    "edge", "media", "assets", "video", "pay",  "s3",    "mx",    "vpn",  "admin", "beta",
};

std::string Word(Random &random, unsigned min_syllables, unsigned max_syllables)
{
    const unsigned count = min_syllables + unsigned(random.Below(max_syllables - min_syllables + 1));
    std::string word;
    for (unsigned i = 0; i < count; ++i)
        word += random.Pick(syllables);
    return word;
}

// The registered label: a made-up word, sometimes two joined by a hyphen or with digits.
std::string RegisteredLabel(Random &random)
{
    std::string label = Word(random, 2, 4);
    if (random.PerMille(100))
        label += "-" + Word(random, 1, 3);
    else if (random.PerMille(100))
        label += std::to_string(random.Below(1000));
    return label;
}

// A label below the registered one: a usual host name, numbered now and then, or a random word.
std::string HostLabel(Random &random)
{
    if (random.PerMille(600)) {
        std::string label(random.Pick(host_labels));
        if (random.PerMille(150))
            label += std::to_string(1 + random.Below(99));
        return label;
    }
    return Word(random, 1, 3);
}

// 2 labels for 45%, 3 for 40%, 4 for 15%.
std::string DomainName(Random &random)
{
    const uint64_t draw = random.Below(100);
    const unsigned labels = draw < 45 ? 2 : draw < 85 ? 3 : 4;
    std::string name = RegisteredLabel(random) + "." + DrawWeighted(random, top_level_domains);
    for (unsigned i = 2; i < labels; ++i)
        name = HostLabel(random) + "." + name;
    return name;
}

DomainSet GenerateDomains(Random &random, const Options &options)
{
    DomainSet set;
    std::unordered_set<std::string> seen;
    set.names.reserve(options.domain_count);
    seen.reserve(options.domain_count);
    while (set.names.size() < options.domain_count) {
        // One name in two hundred repeats an earlier one; the others are new.
        if (!set.names.empty() && random.PerMille(5)) {
            set.names.push_back(set.names[random.Below(set.names.size())]);
            continue;
        }
        std::string name = DomainName(random);
        while (!seen.insert(name).second)
            name = DomainName(random);
        set.names.push_back(std::move(name));
    }
    set.distinct = seen.size();

    set.probes.reserve(options.probe_count);
    for (std::size_t i = 0; i < options.probe_count; ++i) {
        if (i % 2 == 0) {
            set.probes.push_back({set.names[random.Below(set.names.size())], true});
            continue;
        }
        std::string name = DomainName(random);
        while (seen.count(name) != 0)
            name = DomainName(random);
        set.probes.push_back({std::move(name), false});
    }
    random.Shuffle(set.probes);
    return set;
}

// ---- Ports -------------------------------------------------------------------------------

constexpr uint16_t common_ports[] = {80,  443,  22,   25,  53,   123,  3389, 8080, 8443, 445,
                                     21,  23,   110,  143, 993,  995,  1194, 5060, 6881, 3306};

// splitmix64: a stream of well-mixed numbers from one 64-bit state.
uint64_t Mix(uint64_t &state)
{
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint16_t DrawPort(uint64_t draw)
{
    if (draw % 10 < 7)
        return common_ports[(draw >> 8) % std::size(common_ports)];
    return uint16_t(1 + (draw >> 8) % 65535);
}

// The ports a prefix lists, a function of its canonical text and the seed alone.
std::vector<uint16_t> PortsOf(std::string_view text, uint64_t seed)
{
    uint64_t state = seed ^ 0xcbf29ce484222325ULL;
    for (char c : text)
        state = (state ^ uint8_t(c)) * 0x100000001b3ULL;
    const std::size_t count = 1 + Mix(state) % 4;
    std::vector<uint16_t> ports;
    while (ports.size() < count) {
        const uint16_t port = DrawPort(Mix(state));
        if (std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    }
    return ports;
}

PortSet GeneratePorts(Random &random, const Options &options)
{
    prefix_gen::Options prefix_options;
    prefix_options.prefix_count = options.port_prefix_count;
    prefix_options.probe_count = options.probe_count;
    prefix_options.invalid_count = 20;
    prefix_options.seed = options.seed + 2;
    prefix_gen::PrefixSet prefixes = prefix_gen::Generate(prefix_options);

    PortSet set;
    set.ipv4_stored = prefixes.ipv4_stored;
    set.ipv6_stored = prefixes.ipv6_stored;
    std::unordered_set<std::string> seen;
    for (std::string &line : prefixes.prefixes) {
        if (!seen.insert(line).second)
            continue;
        ParsedPrefix parsed;
        if (!ParsePrefix(line, parsed))
            parsed.length = 0;
        set.ports.push_back(PortsOf(parsed.length != 0 ? PrefixText(parsed) : line, options.seed));
        set.parsed.push_back(parsed);
        set.keys.push_back(std::move(line));
    }
    // Most probes inside a listed prefix ask for one of its ports.
    for (const prefix_gen::Probe &probe : prefixes.probes) {
        const std::vector<uint16_t> listed =
            probe.expected.empty() ? std::vector<uint16_t>() : PortsOf(probe.expected, options.seed);
        const uint16_t port =
            !listed.empty() && random.PerMille(600) ? listed[random.Below(listed.size())] : DrawPort(random.Next());
        const bool hit = std::find(listed.begin(), listed.end(), port) != listed.end();
        set.probes.push_back({probe.address, port, hit});
    }
    return set;
}

// ---- Writing -------------------------------------------------------------------------------

// Elements no reader takes as a name or a prefix.
constexpr std::string_view non_strings[] = {"42", "null", "true", "3.5", "{\"name\": \"listed.example\"}", "[]"};

void AppendHeader(std::string &text, const char *tag, const char *type, uint32_t score)
{
    text += "{\"tag\": \"";
    text += tag;
    text += "\", \"label\": \"Generated ";
    text += type;
    text += "\", \"data_type\": \"";
    text += type;
    text += "\", \"score\": " + std::to_string(score) + ", \"data\": ";
}

void AppendString(std::string &text, std::string_view value)
{
    text += '"';
    text += value;
    text += '"';
}

// The items as a JSON array, one line each; about 1 in 50 starts a nested array of 2 to 5
// items (a quarter of them holding a non-string too) and about 1 in 200 is preceded by an
// element that is not a string.
void AppendList(std::string &text, const std::vector<std::string> &items, Random &random)
{
    text += "[\n";
    bool first = true;
    auto separate = [&] {
        if (!first)
            text += ",\n";
        first = false;
    };
    for (std::size_t i = 0; i < items.size();) {
        if (random.PerMille(5)) {
            separate();
            text += random.Pick(non_strings);
        }
        separate();
        if (!random.PerMille(20)) {
            AppendString(text, items[i++]);
            continue;
        }
        const std::size_t end = std::min(items.size(), i + 2 + random.Below(4));
        text += '[';
        for (std::size_t j = i; j < end; ++j) {
            if (j != i)
                text += ", ";
            AppendString(text, items[j]);
        }
        if (random.PerMille(250))
            text += ", " + std::string(random.Pick(non_strings));
        text += ']';
        i = end;
    }
    text += "\n]";
}

}  // namespace

bool ParsePrefix(const std::string &line, ParsedPrefix &out)
{
    const std::size_t slash = line.find('/');
    const std::string address = line.substr(0, slash);
    out.ipv6 = address.find(':') != std::string::npos;
    const unsigned width = out.ipv6 ? 128 : 32;
    out.length = width;
    if (slash != std::string::npos) {
        const char *begin = line.data() + slash + 1, *end = line.data() + line.size();
        auto [stop, error] = std::from_chars(begin, end, out.length);
        if (begin == end || end - begin > 3 || error != std::errc() || stop != end || out.length > width)
            return false;
    }
    unsigned char bytes[16];
    if (inet_pton(out.ipv6 ? AF_INET6 : AF_INET, address.c_str(), bytes) != 1)
        return false;
    out.bits = 0;
    for (unsigned i = 0; i < width / 8; ++i)
        out.bits = out.bits << 8 | bytes[i];
    const prefix_gen::Bits128 host_bits = out.length == width ? 0 : (prefix_gen::Bits128(1) << (width - out.length)) - 1;
    out.bits &= ~host_bits;
    return true;
}

std::string PrefixText(const ParsedPrefix &prefix)
{
    return prefix.ipv6 ? prefix_gen::IPv6Text(prefix.bits, prefix.length)
                       : prefix_gen::IPv4Text(uint32_t(prefix.bits), prefix.length);
}

SignatureSets Generate(const Options &options)
{
    SignatureSets sets;
    Random random(options.seed);
    sets.domains = GenerateDomains(random, options);
    prefix_gen::Options prefix_options;
    prefix_options.prefix_count = options.prefix_count;
    prefix_options.probe_count = options.probe_count;
    prefix_options.seed = options.seed + 1;
    sets.prefixes = prefix_gen::Generate(prefix_options);
    sets.ports = GeneratePorts(random, options);
    return sets;
}

std::string DomainListText(const DomainSet &set, uint32_t score, uint64_t seed)
{
    Random random(seed);
    std::string text;
    text.reserve(set.names.size() * 24 + 256);
    AppendHeader(text, "generated-domains", "domain_list", score);
    AppendList(text, set.names, random);
    text += "}\n";
    return text;
}

std::string PrefixListText(const prefix_gen::PrefixSet &set, uint32_t score, uint64_t seed)
{
    Random random(seed);
    std::string text;
    text.reserve(set.prefixes.size() * 24 + 256);
    AppendHeader(text, "generated-prefixes", "ip_list", score);
    AppendList(text, set.prefixes, random);
    text += "}\n";
    return text;
}

std::string PortListText(const PortSet &set, uint32_t score)
{
    std::string text;
    text.reserve(set.keys.size() * 40 + 256);
    AppendHeader(text, "generated-ports", "ip_port_list", score);
    text += "{\n";
    for (std::size_t i = 0; i < set.keys.size(); ++i) {
        if (i != 0)
            text += ",\n";
        AppendString(text, set.keys[i]);
        text += ": [";
        for (std::size_t j = 0; j < set.ports[i].size(); ++j)
            text += (j == 0 ? "" : ", ") + std::to_string(set.ports[i][j]);
        text += ']';
    }
    text += "\n}}\n";
    return text;
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() || std::fflush(file.get()) != 0)
        throw std::runtime_error(path + ": cannot be written");
}

}  // namespace signature_gen
