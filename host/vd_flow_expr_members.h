// The flow fields that flow expressions can name, each with its type and
// where it lives in the flow, so that names resolve once, at compile time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "vd_flow.h"
#include "vd_flow_expr_value.h"

namespace vd_flow_expr {

// How a field is read: both the generic evaluator (as a Value) and the typed
// steps (as the raw number, text or address) read through this.
enum class Source : uint8_t {
    u8_field,
    u16_field,
    u32_field,
    u64_field,
    bool_field,
    string_field,
    address,  // one of a pair of addresses, by lower_map
    port,     // the port of one of a pair of addresses, by lower_map
    master_protocol,
    total_bytes,
    total_packets,
    iface_role,
    ifname,
};

// An address or port read from `first` while the lower endpoint is the local
// one, else from `second`; the same field twice for one that does not move.
struct AddressPair {
    vdAddr vdFlow::*first;
    vdAddr vdFlow::*second;

    const vdAddr &Pick(const vdFlow &flow) const { return flow.lower_map != 2 ? flow.*first : flow.*second; }
};

struct Field {
    Source source = Source::u8_field;
    union {
        uint8_t vdFlow::*u8;
        uint16_t vdFlow::*u16;
        uint32_t vdFlow::*u32;
        uint64_t vdFlow::*u64;
        bool vdFlow::*boolean;
        std::string vdFlow::*string;
        AddressPair pair;
        bool none = false;
    };
};

struct Member {
    std::string_view name;
    Type type;
    Field field;
};

// nullptr when no field has this name.
const Member *FindMember(std::string_view name);
// Every member, in the order of the table.
std::span<const Member> AllMembers();

// The member's value in the flow, for the generic evaluator.
Value ReadValue(const Member &member, const vdFlow &flow);

// The value of a number or bool member.
inline uint64_t ReadNumber(const Field &field, const vdFlow &flow)
{
    switch (field.source) {
    case Source::u8_field:
        return flow.*field.u8;
    case Source::u16_field:
        return flow.*field.u16;
    case Source::u32_field:
        return flow.*field.u32;
    case Source::u64_field:
        return flow.*field.u64;
    case Source::bool_field:
        return flow.*field.boolean;
    case Source::port:
        return field.pair.Pick(flow).GetPort();
    case Source::master_protocol:
        return flow.GetMasterProtocol();
    case Source::total_bytes:
        return flow.stats.total_bytes;
    case Source::total_packets:
        return flow.stats.total_packets;
    case Source::iface_role:
        return flow.iface ? flow.iface->role : 0;
    case Source::string_field:
    case Source::address:
    case Source::ifname:
        break;
    }
    return 0;
}

// The text of a string member.
inline std::string_view ReadText(const Field &field, const vdFlow &flow)
{
    if (field.source == Source::ifname)
        return flow.iface ? std::string_view(flow.iface->ifname) : std::string_view();
    return flow.*field.string;
}

}  // namespace vd_flow_expr
