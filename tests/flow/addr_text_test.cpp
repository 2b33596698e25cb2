// The cached text form of addresses.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "velbord.h"

namespace {

vdAddr Addr(const char *text, uint16_t port)
{
    vdAddr addr;
    EXPECT_TRUE(vdAddr::Create(addr, text, port)) << text;
    return addr;
}

// A text planted in the cache is served back only while no rebuild happens,
// which makes the builds countable without hooking the host.
constexpr const char *planted = "planted";

void Plant(const vdAddr &addr, uint8_t flags)
{
    addr.cached_flags = flags;
    addr.cached_string = planted;
}

}  // namespace

TEST(AddrText, SameFlagsServeTheCachedText)
{
    const vdAddr addr = Addr("192.0.2.1", 80);
    EXPECT_EQ(addr.GetString(vdAddr::MakeFlags::plain), "192.0.2.1");
    EXPECT_EQ(addr.cached_flags, 0);
    Plant(addr, 0);
    EXPECT_EQ(addr.GetString(vdAddr::MakeFlags::plain), planted);
}

TEST(AddrText, OtherFlagsRebuildAndReplace)
{
    const vdAddr addr = Addr("192.0.2.1", 80);
    EXPECT_EQ(addr.GetString(vdAddr::MakeFlags::plain), "192.0.2.1");
    Plant(addr, 0);
    EXPECT_EQ(addr.GetString(vdAddr::MakeFlags::port), "192.0.2.1:80");
    EXPECT_EQ(addr.cached_flags, 2);
    Plant(addr, 2);
    EXPECT_EQ(addr.GetString(vdAddr::MakeFlags::plain), "192.0.2.1");
    EXPECT_EQ(addr.cached_flags, 0);

    const vdAddr v6 = Addr("2001:db8::1", 443);
    EXPECT_EQ(v6.GetString(vdAddr::MakeFlags::ipv6_uri), "[2001:db8::1]");
    EXPECT_EQ(v6.GetString(vdAddr::MakeFlags::port), "[2001:db8::1]:443");
}

TEST(AddrText, EmptyTextIsNeverTakenAsCached)
{
    const vdAddr addr = Addr("192.0.2.1", 80);
    addr.cached_flags = 0;
    addr.cached_string.clear();
    EXPECT_EQ(addr.GetString(vdAddr::MakeFlags::plain), "192.0.2.1");

    const vdAddr none;
    EXPECT_EQ(none.GetString(vdAddr::MakeFlags::port), "");
    EXPECT_EQ(none.GetString(vdAddr::MakeFlags::port), "");
    EXPECT_EQ(none.cached_flags, 2);
}

// Many threads read the same addresses, each address always with the same
// flags, as the flow encoder does; the sanitizer build checks the locking.
TEST(AddrText, ConcurrentReadersSeeWholeTexts)
{
    const vdAddr v4 = Addr("198.51.100.7", 53);
    const vdAddr v6 = Addr("2001:db8::53", 853);
    const vdAddr none;
    constexpr int threads = 8, rounds = 2000;

    std::latch start(threads);
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < threads; t++) {
        readers.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < rounds; i++) {
                const std::string plain = v4.GetString(vdAddr::MakeFlags::plain);
                const std::string with_port = v6.GetString(vdAddr::MakeFlags::port);
                const std::string empty = none.GetString(vdAddr::MakeFlags::plain);
                if (plain != "198.51.100.7" || with_port != "[2001:db8::53]:853" || !empty.empty())
                    wrong++;
            }
        });
    }
    for (auto &reader : readers)
        reader.join();
    EXPECT_EQ(wrong.load(), 0);
}
