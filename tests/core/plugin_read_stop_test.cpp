// A stop that comes while the worker reads a large file ends the read: a data
// set built at its first lookup and an intel cache file loaded with its
// indicator are cut short, nothing half-read is kept, and the cache file is
// not saved over.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "core/plugin_fixture.h"
#include "support/thread_stop.h"

namespace {

using namespace std::chrono_literals;

class PluginReadStopTest : public LoadedPluginTest
{
protected:
    PluginReadStopTest() { instance.api_manager = std::make_shared<vdVelborApiManager>(); }

    // Whether this process holds path open, waiting up to 20 s: the worker
    // is reading it.
    static bool WaitUntilOpen(const std::string &path)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code error;
            for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd", error)) {
                std::error_code unreadable;
                if (std::filesystem::read_symlink(fd.path(), unreadable) == path)
                    return true;
            }
            std::this_thread::yield();
        }
        return false;
    }

    static off_t SizeOf(const std::string &path)
    {
        struct stat info{};
        return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
    }
};

TEST_F(PluginReadStopTest, AStopCutsADataSetLoadShort)
{
    // Millions of networks: seconds to load, however fast the machine.
    std::string text = R"({"data_type": "ip_list", "data": [)";
    for (uint32_t i = 0; i < 5000000; i++)
        text += (i ? ",\"10." : "\"10.") + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
                std::to_string(i & 255) + "\"";
    vdVelborApiData::Signature signature;
    signature.tag = "tor_exit";
    signature.format = "velbor-dat";
    signature.version = 1;
    signature.encryption = "none";
    signature.path = dir.WriteFile("tor_exit.dat", text + "]}");
    signature.stamp = 1;
    instance.api_manager->SetIntelSignatures({{signature.tag, signature}});

    Start(R"({"data_feeds": {"velbor_api": {}}, "indicators": {"exit": {"indicator_driver": "tor_exit",
              "data_feeds": ["velbor_api"], "proc_targets": ["audit"]}}})");
    ASSERT_TRUE(log.WaitFor("intel ready to process"));
    Hand(Flow(0x1, 443));
    ASSERT_TRUE(WaitUntilOpen(signature.path));

    ExpectStopsWithin([&] { plugin.reset(); }, 10s, "stopping during a data set load");
    EXPECT_TRUE(log.Contains("velbor_api: tor_exit: loading intelligence cut short by the stop: " + signature.path))
        << testing::PrintToString(log.Lines());
    EXPECT_TRUE(out.Records().empty());
}

TEST_F(PluginReadStopTest, AStopCutsACacheFileLoadShortAndKeepsTheFile)
{
    // The flow-key set of "local_ip", then 16 GiB of empty records: a sparse
    // file that takes no room and a long time to read.
    const std::string path = dir.Path("state/exit.cache");
    const uint32_t local_ip = 0x4;
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, &local_ip, sizeof(local_ip)), ssize_t(sizeof(local_ip)));
        ASSERT_EQ(ftruncate(fd, off_t(16) << 30), 0);
        close(fd);
    }
    Start(R"({"indicators": {"exit": {"indicator_driver": "custom", "criteria": {"flow_expr": "other_port == 23"},
              "proc_targets": ["audit"], "cache": {"flow_keys": ["local_ip"], "max_size": 10,
              "filename": ")" + path + R"("}}}})");
    ASSERT_TRUE(WaitUntilOpen(path));

    ExpectStopsWithin([&] { plugin.reset(); }, 10s, "stopping during a cache file load");
    EXPECT_TRUE(log.Contains("exit: Loading flow intel cache cut short by the stop: " + path +
                             "; the file is kept as it is"))
        << testing::PrintToString(log.Lines());
    EXPECT_EQ(SizeOf(path), off_t(16) << 30);
}

}  // namespace
