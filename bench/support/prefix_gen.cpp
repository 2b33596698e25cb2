#include "support/prefix_gen.h"

#include <arpa/inet.h>

#include <cstdio>
#include <span>

#include "support/seeded_random.h"

namespace prefix_gen {
namespace {

using Random = SeededRandom;

struct LengthWeight {
    unsigned length;
    unsigned weight;
};

// Mixes like those of routing tables and block lists: IPv4 mostly /24 with /16-/23 and hosts,
// IPv6 mostly /32-/64 with some hosts.
constexpr LengthWeight ipv4_lengths[] = {{8, 2},   {10, 2},  {12, 4},  {14, 6},  {15, 6},  {16, 40}, {17, 15},
                                         {18, 20}, {19, 30}, {20, 40}, {21, 40}, {22, 70}, {23, 60}, {24, 550},
                                         {25, 5},  {26, 5},  {27, 5},  {28, 5},  {29, 5},  {30, 5},  {32, 100}};
constexpr LengthWeight ipv6_lengths[] = {{29, 10},  {32, 100}, {36, 20},  {40, 40}, {44, 50},  {48, 350}, {52, 20},
                                         {56, 100}, {60, 20},  {64, 180}, {96, 10}, {112, 10}, {128, 90}};

unsigned DrawLength(Random &random, std::span<const LengthWeight> weights)
{
    return random.PickWeighted(weights, [](const LengthWeight &entry) { return entry.weight; }).length;
}

// What differs between the families: the word, the draws, the texts and the layout of space.
struct IPv4 {
    using Word = uint32_t;
    static constexpr unsigned width = 32;
    using Reference = PerLengthPrefixMap<Word, width, bool>;
    static constexpr std::span<const LengthWeight> lengths{ipv4_lengths};
    static constexpr unsigned block_min = 8, block_max = 16;
    static Word Draw(Random &random) { return uint32_t(random.Next()); }
    // Unicast space: first byte 1 to 223.
    static Word DrawBlockBase(Random &random) { return Word(1 + random.Below(223)) << 24 | (Draw(random) & 0xffffff); }
    static std::string Text(Word bits, unsigned length) { return IPv4Text(bits, length); }
    static std::string Address(Word bits) { return IPv4Address(bits); }
};

struct IPv6 {
    using Word = Bits128;
    static constexpr unsigned width = 128;
    using Reference = PerLengthPrefixMap<Word, width, bool, Hash128>;
    static constexpr std::span<const LengthWeight> lengths{ipv6_lengths};
    static constexpr unsigned block_min = 20, block_max = 32;
    static Word Draw(Random &random) { return Bits128(random.Next()) << 64 | random.Next(); }
    // Global unicast space, 2000::/3.
    static Word DrawBlockBase(Random &random) { return Draw(random) >> 3 | Bits128(1) << 125; }
    static std::string Text(Word bits, unsigned length) { return IPv6Text(bits, length); }
    static std::string Address(Word bits) { return IPv6Address(bits); }
};

template <typename Family> struct Prefix {
    typename Family::Word bits;
    unsigned length;
};

template <typename Family> typename Family::Word Mask(unsigned length)
{
    return Family::Reference::Mask(length);
}

template <typename Family> typename Family::Word WithRandomHostBits(Random &random, const Prefix<Family> &prefix)
{
    return prefix.bits | (Family::Draw(random) & ~Mask<Family>(prefix.length));
}

// A prefix inside an allocation block, or (one in six) nested in or around an earlier one:
// longer by up to 8 bits, or shorter by up to 8 but no shorter than a block.
template <typename Family>
Prefix<Family> DrawPrefix(Random &random, const std::vector<Prefix<Family>> &blocks,
                          const std::vector<Prefix<Family>> &earlier)
{
    Prefix<Family> prefix;
    if (!earlier.empty() && random.Percent(16)) {
        const Prefix<Family> &outer = earlier[random.Below(earlier.size())];
        if (random.Percent(50)) {
            prefix.length = std::min(Family::width, outer.length + 1 + unsigned(random.Below(8)));
            prefix.bits = WithRandomHostBits(random, outer);
        } else {
            // Never wider than an allocation block: lists hold no /2.
            const unsigned widen = 1 + unsigned(random.Below(8));
            prefix.length = std::max(Family::block_min, outer.length > widen ? outer.length - widen : 0);
            prefix.bits = outer.bits;
        }
    } else {
        const Prefix<Family> &block = blocks[random.Below(blocks.size())];
        prefix.length = DrawLength(random, Family::lengths);
        prefix.bits = WithRandomHostBits(random, block);
    }
    prefix.bits &= Mask<Family>(prefix.length);
    return prefix;
}

// Hosts are written without a length half the time; one network in five shows host bits.
template <typename Family> std::string LineOf(Random &random, const Prefix<Family> &prefix)
{
    if (prefix.length == Family::width && random.Percent(50))
        return Family::Address(prefix.bits);
    if (prefix.length < Family::width && random.Percent(20))
        return Family::Address(WithRandomHostBits(random, prefix)) + "/" + std::to_string(prefix.length);
    return Family::Text(prefix.bits, prefix.length);
}

template <typename Family> struct FamilySet {
    std::vector<Prefix<Family>> prefixes;  // as listed, repeats included
    typename Family::Reference reference;
};

template <typename Family> FamilySet<Family> GenerateFamily(Random &random, std::size_t count)
{
    FamilySet<Family> set;
    std::vector<Prefix<Family>> blocks(std::max<std::size_t>(1, count / 100));
    for (auto &block : blocks) {
        block.length = Family::block_min + unsigned(random.Below(Family::block_max - Family::block_min + 1));
        block.bits = Family::DrawBlockBase(random) & Mask<Family>(block.length);
    }
    set.prefixes.reserve(count);
    while (set.prefixes.size() < count) {
        // One line in two hundred repeats an earlier one.
        if (!set.prefixes.empty() && random.Percent(1) && random.Percent(50))
            set.prefixes.push_back(set.prefixes[random.Below(set.prefixes.size())]);
        else
            set.prefixes.push_back(DrawPrefix(random, blocks, set.prefixes));
    }
    random.Shuffle(set.prefixes);
    for (const auto &prefix : set.prefixes)
        set.reference.Insert(prefix.bits, prefix.length, true);
    return set;
}

template <typename Family> Probe MakeProbe(Random &random, const FamilySet<Family> &set)
{
    typename Family::Word address = Family::Draw(random);
    if (random.Percent(50) && !set.prefixes.empty())
        address = WithRandomHostBits(random, set.prefixes[random.Below(set.prefixes.size())]);
    else if (Family::width == 128)
        address = Family::DrawBlockBase(random);  // in global unicast space, where the prefixes are
    const auto hit = set.reference.LongestMatch(address);
    return {Family::Address(address), hit.value == nullptr ? "" : Family::Text(hit.prefix, hit.length)};
}

// Lines no reader may accept: lengths too long, bad numbers, missing or doubled parts.
std::string InvalidLine(Random &random, std::size_t index)
{
    const std::string a = std::to_string(1 + random.Below(223)), b = std::to_string(random.Below(256));
    switch (index % 9) {
    case 0:
        return a + "." + b + ".0.0/33";
    case 1:
        return "2001:db8:" + b + "::/129";
    case 2:
        return "256." + b + ".0.0/16";
    case 3:
        return a + "." + b + ".0/24";
    case 4:
        return a + "." + b + ".0.0/";
    case 5:
        return a + "." + b + ".0.0/-8";
    case 6:
        return "2001:db8::g" + b + "/48";
    case 7:
        return a + "." + b + ".0.0//16";
    default:
        return a + ".x." + b + ".0/24";
    }
}

}  // namespace

std::string IPv4Address(uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xff, (address >> 8) & 0xff,
                  address & 0xff);
    return text;
}

std::string IPv6Address(Bits128 address)
{
    unsigned char bytes[16];
    for (int i = 15; i >= 0; --i, address >>= 8)
        bytes[i] = static_cast<unsigned char>(address);
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, bytes, text, sizeof text);
}

std::string IPv4Text(uint32_t address, unsigned length)
{
    return IPv4Address(address & IPv4::Reference::Mask(length)) + "/" + std::to_string(length);
}

std::string IPv6Text(Bits128 address, unsigned length)
{
    return IPv6Address(address & IPv6::Reference::Mask(length)) + "/" + std::to_string(length);
}

PrefixSet Generate(const Options &options)
{
    Random random(options.seed);
    const std::size_t invalid = std::min(options.invalid_count, options.prefix_count);
    const std::size_t valid = options.prefix_count - invalid;
    const auto ipv4_count = std::size_t(double(valid) * options.ipv4_share + 0.5);
    const FamilySet<IPv4> v4 = GenerateFamily<IPv4>(random, ipv4_count);
    const FamilySet<IPv6> v6 = GenerateFamily<IPv6>(random, valid - ipv4_count);

    PrefixSet set;
    set.ipv4_stored = v4.reference.size();
    set.ipv6_stored = v6.reference.size();
    set.prefixes.reserve(options.prefix_count);
    for (const auto &prefix : v4.prefixes)
        set.prefixes.push_back(LineOf(random, prefix));
    for (const auto &prefix : v6.prefixes)
        set.prefixes.push_back(LineOf(random, prefix));
    for (std::size_t i = 0; i < invalid; ++i)
        set.prefixes.push_back(InvalidLine(random, i));
    random.Shuffle(set.prefixes);

    set.probes.reserve(options.probe_count);
    const auto ipv4_probes = std::size_t(double(options.probe_count) * options.ipv4_share + 0.5);
    for (std::size_t i = 0; i < options.probe_count; ++i)
        set.probes.push_back(i < ipv4_probes ? MakeProbe(random, v4) : MakeProbe(random, v6));
    random.Shuffle(set.probes);
    return set;
}

}  // namespace prefix_gen
