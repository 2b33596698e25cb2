// The host's address type: an IPv4, IPv6 or link-layer (MAC) address with a
// port (kept in network byte order) and a prefix length.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "vd_common.h"

class vdAddr
{
public:
    // Address families; 0 means no address.
    enum Family : uint8_t { none = 0, ipv4 = 4, ipv6 = 6, mac = 0xec };

    // Text forms made by MakeString; the flags combine.
    enum class MakeFlags : uint8_t {
        plain = 0x0,
        prefix = 0x1,    // append "/length"
        port = 0x2,      // append the port: "a.b.c.d:p", "[v6]:p"
        ipv6_uri = 0x4,  // IPv6 in brackets, as a URL host
    };

    vdAddr() = default;
    // Copies the address only; the cached text form stays behind.
    vdAddr(const vdAddr &other);
    vdAddr &operator=(const vdAddr &other);

    // Parses "a.b.c.d", an IPv6 text or "xx:xx:xx:xx:xx:xx", each with an
    // optional "/length" (not for MACs). Bad text leaves out.family at 0.
    // Returns true on success.
    static bool Create(vdAddr &out, const std::string &text);
    static bool Create(vdAddr &out, const std::string &text, uint16_t port_host_order);

    // Fills text with the address's text form; empty for no address.
    static void MakeString(const vdAddr &address, std::string &text, vdFlags<MakeFlags> flags = MakeFlags::plain);

    // Cached text form for the given flags (defined by the flow encoder).
    const std::string &GetString(vdFlags<MakeFlags> flags = MakeFlags::plain) const;

    uint16_t GetPort(bool host_order = true) const { return host_order ? ntohs(port) : port; }
    // port is in network byte order.
    void SetPort(uint16_t port_network_order) { port = port_network_order; }

    bool IsValid() const { return family != none; }
    bool IsIPv4() const { return family == ipv4; }
    bool IsIPv6() const { return family == ipv6; }
    bool IsMAC() const { return family == mac; }

    // IPv4 address in host byte order.
    uint32_t GetIPv4() const;
    // Byte-wise equality of family and address bits (not port nor length).
    bool SameAddress(const vdAddr &other) const;
    // True when this address lies within network/prefix_length of network.
    bool InPrefix(const vdAddr &network) const;
    // Bits in a whole address of the family: 32, 128, 48 (MAC); 0 for none.
    static unsigned FullLength(uint8_t family);

    uint8_t family = none;
    uint8_t prefix_length = 0;  // the full length when the text gave none
    uint16_t port = 0;          // network byte order
    union {
        uint8_t bytes[16];
        in_addr in4;
        in6_addr in6;
    } addr{};

    // Text cache of GetString, guarded by one process-wide mutex.
    mutable uint8_t cached_flags = 0;
    mutable std::string cached_string;
};
