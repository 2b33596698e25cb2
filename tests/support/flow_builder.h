// Builds flows for tests: endpoints from address text, any other field
// through Set.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "vd_flow.h"

class FlowBuilder
{
public:
    // "192.0.2.1" or "2001:db8::1"; the flow's ip_version follows the address.
    FlowBuilder &Lower(const std::string &address, uint16_t port = 0)
    {
        return Endpoint(flow->lower_addr, address, port);
    }
    FlowBuilder &Upper(const std::string &address, uint16_t port = 0)
    {
        return Endpoint(flow->upper_addr, address, port);
    }
    FlowBuilder &LowerMAC(const std::string &mac) { return Parse(flow->lower_mac, mac, 0); }
    FlowBuilder &UpperMAC(const std::string &mac) { return Parse(flow->upper_mac, mac, 0); }

    FlowBuilder &Set(const std::function<void(vdFlow &)> &setter)
    {
        setter(*flow);
        return *this;
    }

    // The flow built so far; later calls keep changing the same flow.
    vdFlow::Ptr Build() const { return flow; }

private:
    FlowBuilder &Endpoint(vdAddr &out, const std::string &address, uint16_t port)
    {
        Parse(out, address, port);
        flow->ip_version = out.IsIPv6() ? 6 : 4;
        return *this;
    }

    FlowBuilder &Parse(vdAddr &out, const std::string &text, uint16_t port)
    {
        if (!vdAddr::Create(out, text, port))
            ADD_FAILURE() << "FlowBuilder: bad address '" << text << "'";
        return *this;
    }

    vdFlow::Ptr flow = std::make_shared<vdFlow>();
};
