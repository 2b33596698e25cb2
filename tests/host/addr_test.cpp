// Address parsing and text forms.
#include <gtest/gtest.h>

#include "velbord.h"

namespace {

struct AddrCase {
    const char *text;
    uint8_t family;
    uint8_t prefix_length;
    const char *plain;
    const char *with_port;  // port 8080 set
    const char *uri;
};

std::string Text(const vdAddr &addr, vdFlags<vdAddr::MakeFlags> flags)
{
    std::string text;
    vdAddr::MakeString(addr, text, flags);
    return text;
}

}  // namespace

TEST(HostAddr, ParsesAndWritesEveryFamily)
{
    const AddrCase cases[] = {
        {"192.0.2.1", vdAddr::ipv4, 32, "192.0.2.1", "192.0.2.1:8080", "192.0.2.1"},
        {"10.0.0.0/8", vdAddr::ipv4, 8, "10.0.0.0", "10.0.0.0:8080", "10.0.0.0"},
        {"2001:db8::1", vdAddr::ipv6, 128, "2001:db8::1", "[2001:db8::1]:8080", "[2001:db8::1]"},
        {"fe80::/10", vdAddr::ipv6, 10, "fe80::", "[fe80::]:8080", "[fe80::]"},
        {"00:1A:2b:3c:4d:5e", vdAddr::mac, 48, "00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5e"},
    };
    for (const auto &c : cases) {
        vdAddr addr;
        ASSERT_TRUE(vdAddr::Create(addr, c.text)) << c.text;
        EXPECT_EQ(addr.family, c.family) << c.text;
        EXPECT_EQ(addr.prefix_length, c.prefix_length) << c.text;
        addr.SetPort(htons(8080));
        EXPECT_EQ(addr.GetPort(true), 8080);
        EXPECT_EQ(addr.GetPort(false), htons(8080));
        EXPECT_EQ(Text(addr, vdAddr::MakeFlags::plain), c.plain);
        EXPECT_EQ(Text(addr, vdAddr::MakeFlags::port), c.with_port);
        EXPECT_EQ(Text(addr, vdAddr::MakeFlags::ipv6_uri), c.uri);
    }
    vdAddr prefixed;
    vdAddr::Create(prefixed, "10.0.0.0/8");
    EXPECT_EQ(Text(prefixed, vdAddr::MakeFlags::prefix), "10.0.0.0/8");
}

TEST(HostAddr, BadTextLeavesNoAddress)
{
    for (const char *bad : {"", "192.0.2", "192.0.2.256", "192.0.2.1/33", "192.0.2.1/", "192.0.2.1/x",
                            "2001:db8::1/129", "2001:db8:::1", "00:11:22:33:44", "00:11:22:33:44:55/8", "host"}) {
        vdAddr addr;
        vdAddr::Create(addr, "192.0.2.9");
        EXPECT_FALSE(vdAddr::Create(addr, bad)) << bad;
        EXPECT_EQ(addr.family, vdAddr::none) << bad;
        EXPECT_EQ(Text(addr, vdAddr::MakeFlags::plain), "") << bad;
    }
}

TEST(HostAddr, PrefixMembershipAndEquality)
{
    vdAddr host, net, other_net, v6, v6_net;
    vdAddr::Create(host, "192.0.2.200");
    vdAddr::Create(net, "192.0.2.128/25");
    vdAddr::Create(other_net, "192.0.2.0/25");
    vdAddr::Create(v6, "2001:db8::5");
    vdAddr::Create(v6_net, "2001:db8::/32");
    EXPECT_TRUE(host.InPrefix(net));
    EXPECT_FALSE(host.InPrefix(other_net));
    EXPECT_TRUE(v6.InPrefix(v6_net));
    EXPECT_FALSE(host.InPrefix(v6_net)) << "families never mix";
    EXPECT_EQ(host.GetIPv4(), 0xc00002c8u);

    vdAddr same;
    vdAddr::Create(same, "192.0.2.200");
    same.SetPort(htons(53));
    EXPECT_TRUE(host.SameAddress(same)) << "ports are not compared";
}

TEST(HostAddr, CopyingLeavesTheTextCacheBehind)
{
    vdAddr addr;
    vdAddr::Create(addr, "192.0.2.1");
    addr.cached_flags = 2;
    addr.cached_string = "192.0.2.1:0";
    vdAddr copy(addr);
    EXPECT_TRUE(copy.cached_string.empty());
    EXPECT_EQ(copy.cached_flags, 0);
    vdAddr assigned;
    assigned.cached_string = "stale";
    assigned = addr;
    EXPECT_TRUE(assigned.cached_string.empty());
    EXPECT_TRUE(assigned.SameAddress(addr));
}
