// The host's flow model: one record per network flow, its counters, its
// capture interface, the flow map and the flow-expression evaluator.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "vd_addr.h"
#include "vd_common.h"

using vdDigest = uint64_t;

namespace vdProto {
using Id = uint32_t;
constexpr Id UNKNOWN = 0;
constexpr Id HTTP = 7;
constexpr Id SSDP = 12;
constexpr Id TLS = 91;
constexpr Id QUIC = 188;
constexpr Id DTLS = 244;
constexpr Id DOQ = 261;
}  // namespace vdProto

namespace vdApp {
using Id = uint32_t;
}

namespace vdRisk {
using Id = int32_t;
}

struct vdInterface {
    enum Role : uint8_t { unknown = 0, lan = 1, wan = 2 };
    std::string ifname;
    uint8_t role = unknown;
};

struct vdFlowStats {
    uint64_t lower_bytes = 0;
    uint64_t upper_bytes = 0;
    uint64_t total_bytes = 0;
    uint64_t total_lower_bytes = 0;
    uint64_t total_upper_bytes = 0;
    uint32_t lower_packets = 0;
    uint32_t upper_packets = 0;
    uint32_t total_packets = 0;
    uint32_t total_lower_packets = 0;
    uint32_t total_upper_packets = 0;
    uint8_t detection_packets = 0;
    float lower_rate = 0;
    float upper_rate = 0;
    uint32_t tcp_seq_errors = 0;
    uint32_t tcp_resets = 0;
    uint32_t tcp_retrans = 0;
};

// Writes values into JSON documents under one- or two-key paths, leaving out
// values that carry nothing. Defined with the flow encoder.
class vdSerializer
{
public:
    using Keys = std::vector<std::string>;
    void serialize(json &out, const Keys &keys, const std::string &value) const;
    void serialize(json &out, const Keys &keys, const std::vector<std::string> &value,
                   const std::string &separator) const;
    void serialize(json &out, const Keys &keys, const char *value) const;
    void serialize(json &out, const Keys &keys, bool value) const;
    void serialize(json &out, const Keys &keys, uint8_t value) const;
    void serialize(json &out, const Keys &keys, uint16_t value) const;
    void serialize(json &out, const Keys &keys, uint32_t value) const;
    void serialize(json &out, const Keys &keys, uint64_t value) const;
    void serialize(json &out, const Keys &keys, double value) const;
    void serialize(json &out, const Keys &keys, const json &value) const;
};

class vdFlow : public vdSerializer
{
public:
    using Ptr = std::shared_ptr<vdFlow>;

    enum class EncodeFlags : uint8_t {
        encode_none = 0x0,
        encode_metadata = 0x1,
        encode_tunnel = 0x2,
        encode_stats = 0x4,
        encode_all = 0x7,
    };

    enum TunnelType : uint8_t { tunnel_none = 0, tunnel_gtp = 1 };

    enum OtherType : uint8_t {
        other_unknown = 0,
        other_unsupported = 1,
        other_local = 2,
        other_multicast = 3,
        other_broadcast = 4,
        other_remote = 5,
        other_error = 6,
    };

    struct GTP {
        uint8_t version = 0;
        uint8_t ip_version = 0;
        uint8_t ip_dscp = 0;
        uint32_t lower_teid = 0;  // network byte order
        uint32_t upper_teid = 0;  // network byte order
        vdAddr lower_addr;
        vdAddr upper_addr;
        uint8_t lower_map = 0;
        uint8_t other_type = 0;
    };

    struct Category {
        uint32_t application = 0;
        uint32_t protocol = 0;
        uint32_t domain = 0;
        uint32_t lower_network = 0;
        uint32_t upper_network = 0;
        uint32_t overlay = 0;
    };

    vdFlow() = default;
    vdFlow(const vdFlow &) = delete;
    vdFlow &operator=(const vdFlow &) = delete;

    // The master protocol of the detected protocol: the stored master when
    // one is set, else the detected protocol itself.
    vdProto::Id GetMasterProtocol() const { return master_protocol != 0 ? master_protocol : detected_protocol; }

    bool HasHttpUserAgent() const { return !user_agent.empty() && GetMasterProtocol() != vdProto::SSDP; }
    bool HasHttpURL() const { return !http_url.empty(); }
    bool HasDhcpFingerprint() const { return !dhcp_fingerprint.empty(); }
    bool HasDhcpClassIdent() const { return !dhcp_class_ident.empty(); }
    bool HasSSHClientAgent() const { return !ssh_client_agent.empty(); }
    bool HasSSHServerAgent() const { return !ssh_server_agent.empty(); }
    bool HasTLSClientSNI() const { return !host_server_name.empty() && IsTLSOrQUIC(); }
    bool HasTLSEncryptedCH() const { return ssl_encrypted_ch_version != 0; }
    bool HasTLSServerCN() const { return !ssl_server_cn.empty(); }
    bool HasTLSIssuerDN() const { return !ssl_issuer_dn.empty(); }
    bool HasTLSSubjectDN() const { return !ssl_subject_dn.empty(); }
    bool HasTLSClientJA4() const { return !ssl_client_ja4.empty(); }
    bool HasBTInfoHash() const { return !bt_info_hash.empty(); }
    bool HasSSDPUserAgent() const { return !user_agent.empty() && GetMasterProtocol() == vdProto::SSDP; }
    bool HasMDNSDomainName() const { return !mdns_answer.empty(); }
    bool HasSTUNAddress() const
    {
        return stun_mapped.IsValid() || stun_peer.IsValid() || stun_relayed.IsValid() || stun_response.IsValid() ||
               stun_other.IsValid();
    }

    // Encodes the flow into out (defined with the flow encoder).
    template <class J> void Encode(J &out, const vdFlowStats &stats, vdFlags<EncodeFlags> flags) const;

    // Debug dump through vd_dprintf. flags: 0x1 addresses, 0x2 detection,
    // 0x4 everything (the whole record).
    void Print(uint8_t flags, const std::string &tag) const;

    // Identity.
    uint64_t digest = 0;
    std::vector<uint64_t> digest_prev;  // oldest first
    uint64_t first_seen_at = 0;
    uint64_t last_seen_at = 0;

    // Endpoints.
    vdAddr lower_mac;
    vdAddr upper_mac;
    vdAddr lower_addr;
    vdAddr upper_addr;
    uint8_t lower_map = 0;  // 2: the lower endpoint is the other side
    uint8_t origin = 0;     // 1 lower, 2 upper started the flow
    uint8_t other_type = 0;
    uint8_t privacy_mask = 0;

    uint8_t ip_version = 0;
    uint8_t ip_dscp = 0;
    uint8_t ip_protocol = 0;
    uint16_t vlan_id = 0;
    bool ip_nat = false;
    bool dhc_hit = false;
    bool fhc_hit = false;
    bool soft_dissector = false;
    bool app_ip_override = false;
    bool app_proto_twins = false;

    uint8_t tunnel_type = tunnel_none;
    GTP gtp;

    // Detection.
    vdProto::Id detected_protocol = 0;
    vdProto::Id master_protocol = 0;
    vdApp::Id detected_application = 0;
    std::string detected_protocol_name;
    std::string detected_application_name;
    bool detection_guessed = false;
    bool detection_updated = false;
    Category category;
    std::set<vdRisk::Id> risks;
    uint16_t dpi_risk_score = 0;
    uint16_t dpi_risk_score_client = 0;
    uint16_t dpi_risk_score_server = 0;
    std::set<std::string> tags;

    // Protocol metadata.
    std::string dns_host_name;
    std::string host_server_name;
    std::string user_agent;
    std::string http_url;
    std::string dhcp_fingerprint;
    std::string dhcp_class_ident;
    std::string ssh_client_agent;
    std::string ssh_server_agent;
    uint16_t ssl_version = 0;
    uint16_t ssl_cipher_suite = 0;
    uint16_t ssl_encrypted_ch_version = 0;
    std::string ssl_server_cn;
    std::string ssl_issuer_dn;
    std::string ssl_subject_dn;
    std::string ssl_client_ja4;
    std::vector<uint8_t> ssl_cert_fingerprint;
    std::vector<std::string> ssl_alpn;
    std::vector<std::string> ssl_alpn_server;
    std::vector<uint8_t> bt_info_hash;
    std::string mdns_answer;
    vdAddr stun_mapped;
    vdAddr stun_peer;
    vdAddr stun_relayed;
    vdAddr stun_response;
    vdAddr stun_other;

    vdFlowStats stats;
    std::shared_ptr<vdInterface> iface;

    bool flowmap_eligible = true;
    bool flowmap_excluded = false;

    mutable std::recursive_mutex lock;

private:
    bool IsTLSOrQUIC() const { return GetMasterProtocol() == vdProto::TLS || detected_protocol == vdProto::QUIC; }
};

// The host's flows by key, in buckets each guarded by its own mutex.
class vdFlowMap
{
public:
    using Bucket = std::unordered_map<uint64_t, vdFlow::Ptr>;

    explicit vdFlowMap(size_t buckets);
    ~vdFlowMap();

    vdFlowMap(const vdFlowMap &) = delete;
    vdFlowMap &operator=(const vdFlowMap &) = delete;

    // Locks the bucket and returns its flows; pair every call with Release.
    Bucket &Acquire(size_t index);
    void Release(size_t index);

    // Adds a flow under its digest, in the bucket the digest selects.
    void Insert(const vdFlow::Ptr &flow);

    const size_t buckets;

private:
    struct Slot;
    std::vector<std::unique_ptr<Slot>> slots;
};

// Evaluates flow expressions; see the README for the language. Any thread
// may call any member; evaluating writes nothing the threads share.
class vdFlowParser
{
public:
    using Variables = std::map<std::string, std::string>;
    // The names of the variables a caller will pass, for the checks below.
    using VariableNames = std::set<std::string>;

    vdFlowParser();
    ~vdFlowParser();

    vdFlowParser(const vdFlowParser &) = delete;
    vdFlowParser &operator=(const vdFlowParser &) = delete;

    // True when the expression matches the flow. Throws std::exception with a
    // clear message on a bad expression; the parser stays usable.
    bool Parse(const vdFlow::Ptr &flow, const Variables &variables, const std::string &expression);
    bool Parse(const vdFlow &flow, const Variables &variables, const std::string &expression);
    // Compiles the expression without a flow, keeping it for later calls:
    // empty when it compiles, otherwise the message Parse would throw.
    std::string Check(const std::string &expression);
    // As Check, but a name that is neither a flow field nor one of variables
    // is an error too (Parse finds such a name only when it evaluates it).
    std::string Check(const std::string &expression, const VariableNames &variables);

    // A compiled expression, evaluated without finding its text again. It
    // holds no reference to the parser and may be shared across threads.
    class Program;
    using Handle = std::shared_ptr<const Program>;
    // Throws std::exception with the message Parse would throw.
    Handle Compile(const std::string &expression);
    // As Compile, but a name that is neither a flow field nor one of
    // variables throws too, with the message its evaluation would throw.
    Handle Compile(const std::string &expression, const VariableNames &variables);
    // True when the compiled expression matches the flow.
    static bool Evaluate(const Program &program, const vdFlow &flow, const Variables &variables);

private:
    class Cache;
    std::unique_ptr<Cache> cache;
};
