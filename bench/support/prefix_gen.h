// Deterministic, seeded sets of network prefixes written as address lists hold them, with probe
// addresses and the longest listed prefix holding each, plus the per-length hash map that
// computes those answers exactly (and serves benches as the lookup baseline).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace prefix_gen {

using Bits128 = unsigned __int128;

struct Options {
    std::size_t prefix_count = 500000;  // text lines, the invalid ones included
    double ipv4_share = 0.6;            // of the prefixes and of the probes
    std::size_t probe_count = 100000;
    std::size_t invalid_count = 40;  // lines no reader should accept
    uint64_t seed = 1;
};

// A probe address and the text of the longest listed prefix holding it, "" for none.
struct Probe {
    std::string address;
    std::string expected;
};

struct PrefixSet {
    // "a.b.c.d/len" or "v6/len", host bits sometimes set, hosts sometimes without a length,
    // nested prefixes in random order, a few repeated and a few invalid lines.
    std::vector<std::string> prefixes;
    std::vector<Probe> probes;    // half inside listed prefixes, half anywhere
    std::size_t ipv4_stored = 0;  // distinct valid prefixes per family
    std::size_t ipv6_stored = 0;
};

PrefixSet Generate(const Options &options = {});

// Canonical text of a prefix (host bits cleared): "10.0.0.0/8", "2001:db8::/32".
std::string IPv4Text(uint32_t address, unsigned length);
std::string IPv6Text(Bits128 address, unsigned length);
// Address text without a length.
std::string IPv4Address(uint32_t address);
std::string IPv6Address(Bits128 address);

struct Hash128 {
    std::size_t operator()(Bits128 bits) const noexcept
    {
        uint64_t h = uint64_t(bits) ^ (uint64_t(bits >> 64) * 0x9e3779b97f4a7c15ULL);
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        return std::size_t(h);
    }
};

// One hash map per prefix length, keyed by the masked address; a lookup probes the lengths in
// use from the longest down, so the first hit is the longest match.
template <typename Word, unsigned width, typename T, typename Hash = std::hash<Word>> class PerLengthPrefixMap
{
public:
    struct Hit {
        Word prefix;
        unsigned length;
        const T *value;
    };

    static Word Mask(unsigned length) { return length == 0 ? Word(0) : Word(~Word(0)) << (width - length); }

    // First value wins, as in a tree; false when the prefix is there already.
    bool Insert(Word address, unsigned length, const T &value)
    {
        auto &map = maps[length];
        if (map.empty())
            AddLength(length);
        return map.emplace(address & Mask(length), value).second;
    }

    Hit LongestMatch(Word address) const
    {
        for (unsigned length : lengths) {
            const auto &map = maps[length];
            const auto found = map.find(address & Mask(length));
            if (found != map.end())
                return {found->first, length, &found->second};
        }
        return {Word(0), 0, nullptr};
    }

    std::size_t size() const
    {
        std::size_t total = 0;
        for (const auto &map : maps)
            total += map.size();
        return total;
    }

private:
    void AddLength(unsigned length)
    {
        lengths.insert(std::upper_bound(lengths.begin(), lengths.end(), length, std::greater<unsigned>()), length);
    }

    std::unordered_map<Word, T, Hash> maps[width + 1];
    std::vector<unsigned> lengths;  // in use, longest first
};

}  // namespace prefix_gen
