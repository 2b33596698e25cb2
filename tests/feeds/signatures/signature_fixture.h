// Shared pieces of the signature feed tests: a host instance whose API
// manager offers signatures, data files in a temporary directory, captured
// log lines, and the feed with its loading steps open to the tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "feeds/signatures/velbor_api.h"
#include "support/flow_builder.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "vd_config.h"

// The feed with its internal steps and state open to the tests.
class SignatureFeedProbe : public vdfVelborAPI
{
public:
    using vdfVelborAPI::Build;
    using vdfVelborAPI::LoadLegacyMetadata;
    using vdfVelborAPI::vdfVelborAPI;

    // The entry of name; fails the test when there is none.
    TagData &Entry(const std::string &name)
    {
        auto found = tags.find(name);
        if (found == tags.end()) {
            ADD_FAILURE() << "no tag " << name;
            static TagData none;
            return none;
        }
        return *found->second;
    }

    int State(const std::string &name)
    {
        auto found = tags.find(name);
        return found == tags.end() ? -1 : found->second->state;
    }

    std::vector<std::string> SortedTags() const
    {
        std::vector<std::string> names;
        GetTags(names);
        std::sort(names.begin(), names.end());
        return names;
    }
};

class SignatureTest : public ::testing::Test
{
protected:
    using Signature = vdVelborApiData::Signature;
    using TagData = vdfVelborAPI::TagData;

    SignatureTest() { instance.api_manager = std::make_shared<vdVelborApiManager>(); }

    // A supported descriptor of tag whose data file is name in the
    // temporary directory (not written here).
    Signature Descriptor(const std::string &tag, const std::string &name, uint64_t stamp = 1,
                         const json &definition = json::object()) const
    {
        Signature signature;
        signature.tag = tag;
        signature.format = "velbor-dat";
        signature.version = 1;
        signature.encryption = "none";
        signature.path = dir.Path(name);
        signature.definition = definition;
        signature.stamp = stamp;
        return signature;
    }

    // Writes the data file and returns its descriptor.
    Signature WriteSignature(const std::string &tag, const std::string &content, uint64_t stamp = 1)
    {
        dir.WriteFile(tag + ".dat", content);
        return Descriptor(tag, tag + ".dat", stamp);
    }

    void Offer(const std::vector<Signature> &signatures)
    {
        vdVelborApiManager::Signatures offered;
        for (const Signature &signature : signatures)
            offered[signature.tag] = signature;
        instance.api_manager->SetIntelSignatures(offered);
    }

    void SetBootstrap(uint8_t type, std::map<std::string, std::string> urls)
    {
        auto data = std::make_shared<vdVelborApiData>();
        data->urls = std::move(urls);
        instance.api_manager->SetBootstrapData(type, data);
    }

    // A feed over the temporary directory's legacy file, reloaded.
    std::unique_ptr<SignatureFeedProbe> MakeFeed()
    {
        auto feed = std::make_unique<SignatureFeedProbe>("sig", json::object(), LegacyPath());
        feed->Reload();
        return feed;
    }

    std::string LegacyPath() const { return dir.Path("legacy.json"); }
    void WriteLegacy(const std::string &content) const { dir.WriteFile("legacy.json", content); }

    // The entry a lookup fills, or nothing for a miss (which must leave the
    // entry untouched).
    static std::optional<vppIntel::Entry> Lookup(vdfVelborAPI &feed, const vdFlow::Ptr &flow, const std::string &tag)
    {
        vppIntel::Entry entry;
        entry.event = "untouched";
        if (!feed.Lookup(flow, entry, tag)) {
            EXPECT_EQ(entry, [] {
                vppIntel::Entry e;
                e.event = "untouched";
                return e;
            }());
            return std::nullopt;
        }
        return entry;
    }

    static vdFlow::Ptr DomainFlow(const std::string &server, const std::string &dns = "")
    {
        return FlowBuilder()
            .Set([&](vdFlow &f) {
                f.host_server_name = server;
                f.dns_host_name = dns;
            })
            .Build();
    }

    TempDir dir;
    vdInstance instance;
    LogCapture log;
};
