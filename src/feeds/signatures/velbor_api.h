// The signature feed: typed data sets (domains, prefixes, applications, TLS
// scores...) named by tag, offered by the host as intelligence signatures or
// held in the legacy intelligence file, loaded on first use and looked up.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "feeds/data_feed.h"
#include "feeds/radix/radix_tree.h"
#include "feeds/signatures/name_set.h"
#include "vd_api.h"
#include "vd_flow.h"

namespace vdfSignatureSets {
class SetStream;
}

class vdfVelborAPI : public vppDataFeed::Base
{
public:
    // Threads: everything here runs on the plug-in's worker thread (the
    // configuration loader, the poll and the indicator drivers' lookups);
    // the feed has no lock and no thread of its own.

    enum State : uint8_t {
        MISSING = 0,      // supported signature whose data file does not exist
        AVAILABLE = 1,    // loadable, loaded by the next lookup of the tag
        LOADED = 2,       // the only state in which lookups can hit
        FAILED = 3,       // the last load failed; tried again after a delay
        UNSUPPORTED = 4,  // format, version or encryption not supported
    };

    struct App {
        uint32_t id = 0;
        std::string tag;
        std::string label;
    };

    struct Protocol {
        uint32_t id = 0;
        std::string tag;
        std::string label;
    };

    struct Score {
        uint16_t value = 0;
        uint32_t score = 0;
        std::string label;
    };

    using DomainSet = vdfNameSet;
    // Ports in network byte order, as flow addresses hold them.
    using PortSet = std::unordered_set<uint16_t>;

    // One tag: where its data set comes from, its state, its header and,
    // once loaded, the containers of its data type (the others stay empty).
    // A loaded entry is never changed: a refresh builds a new one.
    struct TagData {
        bool legacy = false;
        uint8_t state = AVAILABLE;
        vdVelborApiData::Signature signature;  // empty for a legacy entry
        std::string label;
        vppDataFeed::DataType data_type = vppDataFeed::DataType::invalid;
        uint32_t score = 0;
        Digest sha1{};  // stored, never compared
        json metadata;  // the header's other members; stored, never read
        int64_t retry_at = 0;  // monotonic seconds; 0: no retry pending

        radix_tree<vdRadixNetworkEntry<32>, bool> ip4;
        radix_tree<vdRadixNetworkEntry<128>, bool> ip6;
        DomainSet domains;
        radix_tree<vdRadixNetworkEntry<32>, PortSet> ip4_ports;
        radix_tree<vdRadixNetworkEntry<128>, PortSet> ip6_ports;
        // Above the highest risk id a flow can carry it never matches.
        uint32_t risk = 0;
        std::unordered_map<vdApp::Id, App> applications;
        std::unordered_map<vdProto::Id, Protocol> protocols;
        std::unordered_map<uint16_t, Score> tls_ciphers;
        std::unordered_map<uint16_t, Score> tls_versions;
    };
    using TagMap = std::unordered_map<std::string, std::unique_ptr<TagData>>;

    // conf is not read; data_path is the legacy intelligence file, already
    // expanded by the caller.
    vdfVelborAPI(const std::string &tag, const json &conf, const std::string &data_path);
    ~vdfVelborAPI() override;

    // Rebuilds the tag table from the host's offer and the legacy file.
    // Never throws: failures are logged.
    void Reload();
    // Brings the tag table up to date with the host's offer: new, withdrawn,
    // redefined and changed signatures, retries, the legacy file. Never
    // throws: failures are logged.
    void Poll();

    // Whether the flow matches the data set of tag, loading the set on its
    // first lookup; a hit completes entry. Takes the flow's lock to read it.
    using vppDataFeed::Base::Lookup;
    bool Lookup(const vdFlow::Ptr &flow, vppIntel::Entry &entry, const std::string &tag) override;

    // Append the registered tag names, in table order; by prefix, those that
    // begin with prefix byte for byte (the empty prefix lists every tag).
    void GetTags(std::vector<std::string> &out) const;
    void GetTagsByPrefix(std::vector<std::string> &out, const std::string &prefix) const;

    const std::string data_path;
    bool legacy_served = false;   // at the last merge decision
    bool legacy_missing = false;  // when its metadata was last loaded
    int64_t legacy_retry_at = 0;  // monotonic seconds; 0: no retry pending
    // Rises whenever the set of tag names may have changed; the reputation
    // driver keeps its tag listings until it does.
    uint32_t tags_version = 1;
    TagMap tags;

protected:
    using Signatures = std::map<std::string, vdVelborApiData::Signature>;

    std::unique_ptr<TagData> CreateSignature(const vdVelborApiData::Signature &descriptor) const;
    static bool IsSupported(const vdVelborApiData::Signature &descriptor);
    // Asks the host whether the legacy file is in use; throws when the host
    // instance or its API manager is missing.
    static bool IsLegacyServed();
    bool IsLegacyPresent() const;
    // Adds the legacy entries whose tags are free, or removes every legacy
    // entry when the file is not served; true when the table changed.
    bool MergeLegacy();
    bool ShouldMergeLegacy(bool served, bool withdrawn) const;
    // The poll's walk over the table; true when a signature was withdrawn.
    bool UpdateRegistered(const Signatures &offered);
    // Registers the offered signatures not in the table; true when any was.
    bool AddOffered(const Signatures &offered);
    void RefreshSignature(const std::string &name, std::unique_ptr<TagData> &entry,
                          const vdVelborApiData::Signature &descriptor);
    void Retry(const std::string &name, std::unique_ptr<TagData> &entry);
    void LazyLoad(const std::string &name, std::unique_ptr<TagData> &entry);
    // Monotonic time of a retry 300 s from now; 0 when the clock fails.
    static int64_t RetryTime();

    // Data sets are large; the bound keeps a damaged file from exhausting
    // memory (the legacy file's is vppLegacyFile::max_file_size).
    static constexpr size_t max_signature_file_size = size_t(512) * 1024 * 1024;
    // The signature's data file; throws for an encryption other than "none".
    static const std::string &SignaturePath(const TagData &data);

    // A new LOADED entry with the tag's header and data set, or nullptr
    // after logging why. Never throws.
    std::unique_ptr<TagData> Build(const std::string &name, const TagData &current);
    // One header-only legacy entry per usable record of the legacy file;
    // problems are logged, never thrown.
    void LoadLegacyMetadata(TagMap &out);

    // Prefix (and, for ip_port_list, port) test of one endpoint; completes
    // entry on a hit.
    bool LookupAddress(const vdAddr &addr, vppIntel::Entry &entry, const TagData &data);

private:
    // Build without giving memory back.
    std::unique_ptr<TagData> Load(const std::string &name, const TagData &current) const;
    void LogLoadFailure(const std::string &name, const std::string &path, const char *why) const;
    // The header of the tag into header, and the whole set (nullptr when
    // there is none); throw what fails the load.
    std::unique_ptr<vdfSignatureSets::SetStream> ReadSignaturePayload(const std::string &name, const TagData &current,
                                                                      TagData &header) const;
    std::unique_ptr<vdfSignatureSets::SetStream> ReadLegacyTag(const std::string &name, const TagData &current,
                                                               TagData &header) const;
    // Reads the legacy file's usable records into out; throws when the file
    // cannot be read, leaving out as it was.
    void ReadLegacyMetadata(TagMap &out) const;
};
