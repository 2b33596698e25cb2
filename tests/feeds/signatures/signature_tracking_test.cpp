// Tracking of the signature feed's tags: registration of offered
// signatures, the legacy file's serving rule and merge, and what each poll
// changes (offered, withdrawn, redefined, changed stamps, retries), with the
// change counter the reputation driver watches.
#include <functional>
#include <string>
#include <vector>

#include "signature_fixture.h"

namespace {

std::string Domains(const std::string &names)
{
    return R"({"data_type": "domain_list", "score": 30, "data": )" + names + "}";
}

class TrackingTest : public SignatureTest
{
protected:
    bool Hits(const std::string &tag, const std::string &name)
    {
        return Lookup(*feed, DomainFlow(name), tag).has_value();
    }

    // Moves the clock to one second before at.
    static void AdvanceTo(int64_t at) { vd_time_monotonic_advance(at - vd_time_monotonic()); }

    std::unique_ptr<SignatureFeedProbe> feed;
};

TEST_F(TrackingTest, OfferedSignaturesRegisterByTheirSupportAndFile)
{
    struct Case {
        const char *name;
        std::function<void(vdVelborApiData::Signature &)> change;
        int state;
        std::string line;  // the operational line, if any
    };
    const std::string unsupported = "sig: t: unsupported intelligence signature: format: ";
    const std::vector<Case> cases = {
        {"supported with a file", nullptr, vdfVelborAPI::AVAILABLE, ""},
        {"supported without a file", [&](auto &s) { s.path = dir.Path("absent.dat"); }, vdfVelborAPI::MISSING, ""},
        {"version 2", [](auto &s) { s.version = 2; }, vdfVelborAPI::UNSUPPORTED,
         unsupported + "velbor-dat v2, encryption: none"},
        {"a trailing blank in the format", [](auto &s) { s.format = "velbor-dat "; }, vdfVelborAPI::UNSUPPORTED,
         unsupported + "velbor-dat  v1, encryption: none"},
        {"another format", [](auto &s) { s.format = "Velbor-dat"; }, vdfVelborAPI::UNSUPPORTED,
         unsupported + "Velbor-dat v1, encryption: none"},
        {"an encryption", [](auto &s) { s.encryption = "aes-256"; }, vdfVelborAPI::UNSUPPORTED,
         unsupported + "velbor-dat v1, encryption: aes-256"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto signature = WriteSignature("t", Domains(R"(["a.example"])"));
        if (c.change)
            c.change(signature);
        Offer({signature});
        log.Clear();
        feed = MakeFeed();
        EXPECT_EQ(feed->State("t"), c.state);
        auto lines = log.Lines(vdLogLevel::operational);
        EXPECT_EQ(lines, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line + "\n"});
        // Nothing is read before the first lookup.
        EXPECT_FALSE(log.Contains("entries."));
        EXPECT_EQ(feed->tags_version, 2u);
    }

    // The supported one loads on its first lookup, even when the flow misses.
    Offer({WriteSignature("t", Domains(R"(["a.example"])"))});
    feed = MakeFeed();
    EXPECT_FALSE(Hits("t", "other.example"));
    EXPECT_EQ(feed->State("t"), vdfVelborAPI::LOADED);
    EXPECT_TRUE(log.Contains("t: loaded 1 domain_list entries."));
    EXPECT_TRUE(log.Contains("sig: 1 signature(s) offered, 1 tag(s) registered, legacy file served."));
}

TEST_F(TrackingTest, TheLegacyFileIsServedByTheBootstrapDataKinds)
{
    struct Case {
        const char *name;
        std::function<void()> bootstrap;
        bool served;
    };
    const std::vector<Case> cases = {
        {"no bootstrap data", [] {}, true},
        {"intel data with an intel URL", [&] { SetBootstrap(vdVelborApiData::intel, {{"intel", "https://i"}}); },
         true},
        {"intel data with an empty intel URL", [&] { SetBootstrap(vdVelborApiData::intel, {{"intel", ""}}); }, false},
        {"intel data without an intel URL", [&] { SetBootstrap(vdVelborApiData::intel, {{"lookup", "https://l"}}); },
         false},
        {"intel data wins over agent data",
         [&] {
             SetBootstrap(vdVelborApiData::intel, {{"intel", "https://i"}});
             SetBootstrap(vdVelborApiData::agent, {});
         },
         true},
        {"agent data only", [&] { SetBootstrap(vdVelborApiData::agent, {}); }, false},
        {"dev-discovery data only", [&] { SetBootstrap(vdVelborApiData::dev_discovery, {}); }, false},
    };
    WriteLegacy(R"([{"intelligence": {"tag": "old", "data_type": "domain_list", "data": ["a.example"]}}])");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (uint8_t type : {vdVelborApiData::agent, vdVelborApiData::intel, vdVelborApiData::dev_discovery})
            instance.api_manager->SetBootstrapData(type, nullptr);
        c.bootstrap();
        feed = MakeFeed();
        EXPECT_EQ(feed->legacy_served, c.served);
        EXPECT_EQ(feed->SortedTags(), c.served ? std::vector<std::string>{"old"} : std::vector<std::string>{});
        if (c.served) {
            EXPECT_TRUE(Hits("old", "a.example"));
            EXPECT_TRUE(feed->Entry("old").legacy);
        }
    }
}

TEST(SignatureFeedWithoutHost, ReloadAndPollReportAMissingInstance)
{
    LogCapture log;
    vdfVelborAPI feed("sig", json::object(), "/nonexistent/legacy.json");
    feed.Reload();
    EXPECT_TRUE(feed.tags.empty());
    EXPECT_EQ(feed.tags_version, 2u);
    EXPECT_TRUE(log.Contains("sig: error loading intelligence signatures: static vdInstance &vdInstance::GetInstance(): "
                             "instance not found"));
    feed.Poll();
    EXPECT_EQ(feed.tags_version, 3u);
    EXPECT_TRUE(log.Contains("sig: error polling intelligence signatures: static vdInstance &vdInstance::GetInstance(): "
                             "instance not found"));

    // An instance without an API manager is reported the same way.
    vdInstance instance;
    feed.Reload();
    EXPECT_EQ(feed.tags_version, 4u);
    EXPECT_TRUE(log.Contains("sig: error loading intelligence signatures: vdVelborApiManager: instance not found"));
}

TEST_F(TrackingTest, PollsFollowOfferedAndWithdrawnSignatures)
{
    WriteLegacy(R"([{"intelligence": {"tag": "b", "data_type": "domain_list", "data": ["legacy.example"]}},
                    {"intelligence": {"tag": "c", "data_type": "domain_list", "data": ["c.example"]}}])");
    auto a = WriteSignature("a", Domains(R"(["a.example"])"));
    auto b = WriteSignature("b", Domains(R"(["b.example"])"));
    Offer({a, b});
    feed = MakeFeed();
    EXPECT_EQ(feed->SortedTags(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(feed->Entry("b").legacy);
    EXPECT_TRUE(Hits("b", "b.example"));
    EXPECT_TRUE(Hits("a", "a.example"));
    ASSERT_EQ(feed->tags_version, 2u);

    // The same offer changes nothing.
    log.Clear();
    feed->Poll();
    EXPECT_EQ(feed->tags_version, 2u);
    EXPECT_EQ(feed->State("a"), vdfVelborAPI::LOADED);
    EXPECT_TRUE(log.Lines(vdLogLevel::operational).empty());

    // b withdrawn: its legacy entry comes back, one version step.
    Offer({a});
    feed->Poll();
    EXPECT_TRUE(log.Contains("sig: b: intelligence signature withdrawn."));
    EXPECT_EQ(feed->tags_version, 3u);
    EXPECT_TRUE(feed->Entry("b").legacy);
    EXPECT_FALSE(Hits("b", "b.example"));
    EXPECT_TRUE(Hits("b", "legacy.example"));

    // c offered over its legacy entry: replaced, the names stay, no step.
    auto c = WriteSignature("c", Domains(R"(["signed.example"])"));
    Offer({a, c});
    feed->Poll();
    EXPECT_TRUE(log.Contains("sig: c: signature replaces legacy entry."));
    EXPECT_EQ(feed->tags_version, 3u);
    EXPECT_FALSE(feed->Entry("c").legacy);
    EXPECT_TRUE(Hits("c", "signed.example"));

    // A new tag: one step.
    auto d = WriteSignature("d", Domains(R"(["d.example"])"));
    Offer({a, c, d});
    feed->Poll();
    EXPECT_TRUE(log.Contains("sig: d: intelligence signature offered."));
    EXPECT_EQ(feed->tags_version, 4u);
    EXPECT_EQ(feed->State("d"), vdfVelborAPI::AVAILABLE);

    // Two withdrawn in one poll: still one step.
    Offer({d});
    feed->Poll();
    EXPECT_EQ(feed->tags_version, 5u);
    EXPECT_EQ(feed->SortedTags(), (std::vector<std::string>{"b", "c", "d"}));
    EXPECT_TRUE(feed->Entry("c").legacy);
}

TEST_F(TrackingTest, AFailedLoadIsRetriedOnlyAfterItsDelay)
{
    Offer({WriteSignature("t", "{")});
    feed = MakeFeed();
    EXPECT_FALSE(Hits("t", "a.example"));
    ASSERT_EQ(feed->State("t"), vdfVelborAPI::FAILED);
    EXPECT_TRUE(log.Contains("sig: t: error loading intelligence: " + dir.Path("t.dat")));
    const int64_t retry_at = feed->Entry("t").retry_at;
    EXPECT_GE(retry_at, vd_time_monotonic() + 299);

    // Fixed, but not looked at again before the delay is over.
    dir.WriteFile("t.dat", Domains(R"(["a.example"])"));
    EXPECT_FALSE(Hits("t", "a.example"));
    AdvanceTo(retry_at - 1);
    feed->Poll();
    EXPECT_EQ(feed->State("t"), vdfVelborAPI::FAILED);
    EXPECT_FALSE(Hits("t", "a.example"));

    AdvanceTo(retry_at);
    feed->Poll();
    EXPECT_EQ(feed->State("t"), vdfVelborAPI::AVAILABLE);
    EXPECT_EQ(feed->Entry("t").retry_at, 0);
    EXPECT_TRUE(Hits("t", "a.example"));
    EXPECT_EQ(feed->tags_version, 2u);
}

// Each read that failed is tried again 300 s after the failure, neither
// sooner nor later. The clock is read just before and just after the
// failure, so the failure's own second lies between the two.
TEST_F(TrackingTest, EachFailedReadIsTriedAgainThreeHundredSecondsLater)
{
    struct RetryCase {
        const char *name;
        std::function<void()> fail;   // makes the read fail
        std::function<void()> fix;    // mends the file
        std::function<bool()> mended; // whether the mended file is in use
    };
    const std::vector<RetryCase> cases = {
        {"the first load of a data set",
         [&] {
             Offer({WriteSignature("t", "{")});
             feed = MakeFeed();
             EXPECT_FALSE(Hits("t", "a.example"));
             EXPECT_EQ(feed->State("t"), vdfVelborAPI::FAILED);
         },
         [&] { dir.WriteFile("t.dat", Domains(R"(["a.example"])")); }, [&] { return Hits("t", "a.example"); }},
        {"the rebuild of a loaded data set",
         [&] {
             Offer({WriteSignature("t", Domains(R"(["old.example"])"), 1)});
             feed = MakeFeed();
             EXPECT_TRUE(Hits("t", "old.example"));
             Offer({WriteSignature("t", "{", 2)});
             log.Clear();
             feed->Poll();
             EXPECT_TRUE(log.Contains("sig: t: keeping previous intelligence data."));
         },
         [&] { dir.WriteFile("t.dat", Domains(R"(["fixed.example"])")); },
         [&] { return Hits("t", "fixed.example"); }},
        {"the legacy file",
         [&] {
             Offer({});
             WriteLegacy("[{");
             feed = MakeFeed();
             EXPECT_TRUE(feed->tags.empty());
         },
         [&] { WriteLegacy(R"([{"intelligence": {"tag": "l", "data_type": "domain_list"}}])"); },
         [&] { return feed->SortedTags() == std::vector<std::string>{"l"}; }},
    };
    for (const RetryCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t before = vd_time_monotonic();
        c.fail();
        const int64_t after = vd_time_monotonic();
        c.fix();

        AdvanceTo(before + 299);
        feed->Poll();
        EXPECT_FALSE(c.mended());
        AdvanceTo(after + 300);
        feed->Poll();
        EXPECT_TRUE(c.mended());
    }
}

TEST_F(TrackingTest, AChangedStampRebuildsALoadedSetAndKeepsItWhenTheNewFileIsBroken)
{
    Offer({WriteSignature("t", Domains(R"(["old.example"])"), 1)});
    feed = MakeFeed();
    EXPECT_TRUE(Hits("t", "old.example"));

    // A good new file: rebuilt at the poll.
    Offer({WriteSignature("t", Domains(R"(["new.example"])"), 2)});
    feed->Poll();
    EXPECT_TRUE(log.Contains("sig: t: reloaded intelligence signature."));
    EXPECT_TRUE(Hits("t", "new.example"));
    EXPECT_FALSE(Hits("t", "old.example"));

    // A broken one: the loaded set keeps answering.
    Offer({WriteSignature("t", R"({"data_type": "domain_list", "data": [)", 3)});
    feed->Poll();
    EXPECT_TRUE(log.Contains("sig: t: keeping previous intelligence data."));
    EXPECT_EQ(feed->State("t"), vdfVelborAPI::LOADED);
    EXPECT_EQ(feed->Entry("t").signature.stamp, 3u);
    EXPECT_TRUE(Hits("t", "new.example"));
    const int64_t retry_at = feed->Entry("t").retry_at;
    ASSERT_NE(retry_at, 0);

    // Fixed: recovered at the first poll 300 s or more later.
    dir.WriteFile("t.dat", Domains(R"(["fixed.example"])"));
    AdvanceTo(retry_at - 1);
    feed->Poll();
    EXPECT_TRUE(Hits("t", "new.example"));
    EXPECT_FALSE(log.Contains("recovered"));
    AdvanceTo(retry_at);
    feed->Poll();
    EXPECT_TRUE(log.Contains("sig: t: recovered intelligence signature."));
    EXPECT_TRUE(Hits("t", "fixed.example"));
    EXPECT_EQ(feed->Entry("t").retry_at, 0);
    EXPECT_EQ(feed->tags_version, 2u);
}

TEST_F(TrackingTest, ADefinitionChangeDropsTheLoadedSetAtOnce)
{
    auto signature = WriteSignature("t", Domains(R"(["old.example"])"));
    signature.definition = {{"v", 1}};
    Offer({signature});
    feed = MakeFeed();
    EXPECT_TRUE(Hits("t", "old.example"));

    dir.WriteFile("t.dat", Domains(R"(["new.example"])"));
    signature.definition = {{"v", 2}};
    Offer({signature});
    feed->Poll();
    EXPECT_TRUE(log.Contains("sig: t: intelligence signature redefined."));
    EXPECT_EQ(feed->State("t"), vdfVelborAPI::AVAILABLE);
    EXPECT_TRUE(Hits("t", "new.example"));
    EXPECT_FALSE(Hits("t", "old.example"));
}

TEST_F(TrackingTest, MissingAndUnsupportedSignaturesWaitForTheHost)
{
    auto missing = Descriptor("m", "m.dat", 1);
    auto unsupported = WriteSignature("u", Domains(R"(["u.example"])"));
    unsupported.version = 2;
    Offer({missing, unsupported});
    feed = MakeFeed();
    ASSERT_EQ(feed->State("m"), vdfVelborAPI::MISSING);
    ASSERT_EQ(feed->State("u"), vdfVelborAPI::UNSUPPORTED);

    // The file appears: nothing re-examines the entry until the stamp moves.
    dir.WriteFile("m.dat", Domains(R"(["m.example"])"));
    feed->Poll();
    EXPECT_EQ(feed->State("m"), vdfVelborAPI::MISSING);
    EXPECT_FALSE(Hits("m", "m.example"));
    missing.stamp = 2;
    unsupported.stamp = 2;
    Offer({missing, unsupported});
    feed->Poll();
    EXPECT_EQ(feed->State("m"), vdfVelborAPI::AVAILABLE);
    EXPECT_TRUE(Hits("m", "m.example"));

    // An unsupported entry leaves that state only by a redefinition.
    EXPECT_EQ(feed->State("u"), vdfVelborAPI::UNSUPPORTED);
    EXPECT_FALSE(Hits("u", "u.example"));
    unsupported.version = 1;
    unsupported.definition = {{"v", 2}};
    Offer({missing, unsupported});
    feed->Poll();
    EXPECT_EQ(feed->State("u"), vdfVelborAPI::AVAILABLE);
    EXPECT_TRUE(Hits("u", "u.example"));
    EXPECT_EQ(feed->tags_version, 2u);
}

TEST_F(TrackingTest, TheLegacyFileIsMergedAgainWhenItsServingOrFileChanges)
{
    feed = MakeFeed();
    ASSERT_TRUE(feed->legacy_served);
    ASSERT_TRUE(feed->legacy_missing);
    EXPECT_TRUE(feed->tags.empty());

    // The file appears: merged at the next poll.
    WriteLegacy(R"([{"intelligence": {"tag": "l", "data_type": "domain_list", "data": ["l.example"]}}])");
    feed->Poll();
    EXPECT_EQ(feed->SortedTags(), std::vector<std::string>{"l"});
    EXPECT_EQ(feed->tags_version, 3u);
    EXPECT_TRUE(Hits("l", "l.example"));

    // No longer served: legacy entries go.
    SetBootstrap(vdVelborApiData::agent, {});
    feed->Poll();
    EXPECT_TRUE(feed->tags.empty());
    EXPECT_FALSE(feed->legacy_served);
    EXPECT_EQ(feed->tags_version, 4u);

    // Served again, but the file is broken: retried after the delay.
    instance.api_manager->SetBootstrapData(vdVelborApiData::agent, nullptr);
    WriteLegacy("[{");
    feed->Poll();
    EXPECT_TRUE(feed->tags.empty());
    EXPECT_EQ(feed->tags_version, 4u);
    const int64_t retry_at = feed->legacy_retry_at;
    ASSERT_NE(retry_at, 0);
    WriteLegacy(R"([{"intelligence": {"tag": "l2", "data_type": "domain_list"}}])");
    AdvanceTo(retry_at - 1);
    feed->Poll();
    EXPECT_TRUE(feed->tags.empty());
    AdvanceTo(retry_at);
    feed->Poll();
    EXPECT_EQ(feed->SortedTags(), std::vector<std::string>{"l2"});
    EXPECT_EQ(feed->tags_version, 5u);
    EXPECT_EQ(feed->legacy_retry_at, 0);
}

TEST_F(TrackingTest, AFailedPollKeepsTheTableAndStepsTheVersion)
{
    Offer({WriteSignature("t", Domains(R"(["a.example"])"))});
    feed = MakeFeed();
    auto api = instance.api_manager;
    instance.api_manager = nullptr;
    feed->Poll();
    instance.api_manager = api;
    EXPECT_TRUE(log.Contains("sig: error polling intelligence signatures: vdVelborApiManager: instance not found"));
    EXPECT_EQ(feed->tags_version, 3u);
    EXPECT_EQ(feed->SortedTags(), std::vector<std::string>{"t"});
}

TEST_F(TrackingTest, TagListingsByPrefix)
{
    Offer({Descriptor("domain_reputation", "x"), Descriptor("domain_reputation_malware", "x"),
           Descriptor("domain", "x"), Descriptor("ip_domain_reputation", "x"), Descriptor("Domain_reputation_x", "x")});
    feed = MakeFeed();
    std::vector<std::string> names{"kept"};
    feed->GetTagsByPrefix(names, "domain_reputation");
    std::sort(names.begin() + 1, names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "domain_reputation", "domain_reputation_malware"}));

    names.clear();
    feed->GetTagsByPrefix(names, "");
    EXPECT_EQ(names.size(), 5u);
    names.clear();
    feed->GetTags(names);
    EXPECT_EQ(names.size(), 5u);
}

}  // namespace
