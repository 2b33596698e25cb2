// Deterministic, seeded signature data sets written as the signature feed's data files (an
// object with "data_type", "score" and "data"): a domain list, an ip_list and an ip_port_list,
// each with probes and the answer a lookup must give them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/prefix_gen.h"

namespace signature_gen {

struct Options {
    std::size_t domain_count = 1000000;      // names in the domain list, repeats included
    std::size_t prefix_count = 500000;       // ip_list lines, prefix_gen's invalid ones included
    std::size_t port_prefix_count = 200000;  // ip_port_list keys before repeats are dropped
    std::size_t probe_count = 200000;        // per set
    uint32_t score = 40;                     // the header's score, every set
    uint64_t seed = 1;
};

struct DomainProbe {
    std::string name;
    bool listed = false;
};

// Names of 2 to 4 labels under common top-level domains, a few repeated; the file also holds
// some names grouped in nested arrays and some elements that are not strings (skipped by
// readers), as real lists do.
struct DomainSet {
    std::vector<std::string> names;  // in file order; about 1 in 200 repeats an earlier one
    std::size_t distinct = 0;
    std::vector<DomainProbe> probes;  // half listed, half not, shuffled
};

// A valid prefix of the list, for references and baselines.
struct ParsedPrefix {
    bool ipv6 = false;
    prefix_gen::Bits128 bits = 0;  // host bits cleared; IPv4 in the low 32 bits
    unsigned length = 0;
};

struct PortProbe {
    std::string address;
    uint16_t port = 0;  // host order
    bool hit = false;   // its longest listed prefix lists the port
};

// An ip_port_list: prefixes (as prefix_gen writes them, repeats dropped since keys are unique)
// each listing 1 to 4 ports, mostly well-known ones; every text of one prefix lists the same
// ports, so the answer does not depend on which text a reader keeps.
struct PortSet {
    std::vector<std::string> keys;                // in file order
    std::vector<std::vector<uint16_t>> ports;     // per key, host order
    std::vector<ParsedPrefix> parsed;              // per key; length 0 for a key no reader takes
    std::size_t ipv4_stored = 0, ipv6_stored = 0;  // distinct valid prefixes per family
    std::vector<PortProbe> probes;                 // half inside listed prefixes, half anywhere
};

struct SignatureSets {
    DomainSet domains;
    prefix_gen::PrefixSet prefixes;
    PortSet ports;
};

SignatureSets Generate(const Options &options = {});

// The data files' texts. Writing the text directly keeps a million names from becoming a
// million JSON values in the generating process.
std::string DomainListText(const DomainSet &set, uint32_t score, uint64_t seed);
std::string PrefixListText(const prefix_gen::PrefixSet &set, uint32_t score, uint64_t seed);
std::string PortListText(const PortSet &set, uint32_t score);

// "a.b.c.d[/len]" or "v6[/len]" parsed (no length: a host); false for text that is no prefix.
bool ParsePrefix(const std::string &line, ParsedPrefix &out);
// Canonical text, as prefix_gen writes it: "10.0.0.0/8".
std::string PrefixText(const ParsedPrefix &prefix);

// Writes text to path; throws std::runtime_error naming the path on failure.
void WriteFile(const std::string &path, const std::string &text);

}  // namespace signature_gen
