// Shared pieces of the category, geography and reputation driver tests:
// cloud answers as the request threads deliver them, the lookup line a
// driver logs, and a real signature feed over data files the host offers.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "feeds/cloud/answer_member_reader.h"
#include "feeds/cloud/cloud_answer.h"
#include "feeds/signatures/velbor_api.h"
#include "indicators/indicator_fixture.h"
#include "support/temp_dir.h"
#include "vd_api.h"

class AnswerTest : public IndicatorTest
{
protected:
    AnswerTest()
    {
        config.verbosity = 2;
        instance.api_manager = std::make_shared<vdVelborApiManager>();
    }

    // The LOOKUP event a request thread delivers for the answer document:
    // the flow's member of it, read from its text as the thread reads it.
    static std::shared_ptr<Event> Answer(const vdFlow::Ptr &flow, const json &document,
                                         const std::string &thread = "cloud_intel0")
    {
        auto ev = FlowEvent(flow, vdPluginProcessor::dpi_complete, Event::LOOKUP);
        ev->Write().data_source = vppDataFeed::DataSource::cloud_intel;
        ev->Write().data_feed = thread;
        vdfCloudAnswer::MemberReading read =
            vdfCloudAnswer::ReadMember(document.dump(), "answer", vdfCloudAnswer::Key(*flow));
        ev->Write().answer = std::make_shared<const vppEventQueue::AnswerMember>(std::move(read.member));
        return ev;
    }

    // An answer document whose member for the flow is member.
    static json AnswerDocument(const vdFlow::Ptr &flow, const json &member)
    {
        return json{{vdfCloudAnswer::Key(*flow), member}};
    }

    // The entries the indicator queued for the event.
    std::vector<vppIntel::Entry> Run(vppIndicator::Base &indicator, std::shared_ptr<Event> ev)
    {
        indicator.ProcessFlow(ev);
        std::vector<vppIntel::Entry> entries;
        for (const auto &queued : Drain())
            for (const auto &entry : queued.Read().entries)
                entries.push_back(*entry);
        return entries;
    }

    // The one lookup line logged since the last Clear ("<found>; want:
    // <wanted>: <verdict>" after the tag, flow id and thread) without its
    // newline; empty when none was, and a failure when several were.
    std::string LookupLine() const
    {
        std::vector<std::string> found;
        for (std::string line : log.Lines()) {
            if (line.find("; want: ") == std::string::npos)
                continue;
            if (line.ends_with('\n'))
                line.pop_back();
            found.push_back(line);
        }
        EXPECT_LE(found.size(), 1u) << testing::PrintToString(found);
        return found.empty() ? std::string() : found.front();
    }

    // The prefix of a lookup line for the flow answered by thread.
    static std::string LinePrefix(const vdFlow::Ptr &flow, const std::string &thread = "cloud_intel0")
    {
        return "t: " + vd_xxh64_to_string(flow->digest) + ": " + thread + ": ";
    }

    // A signature data file of tag, offered by the host: data_type, score
    // and data as a data file holds them.
    void Offer(const std::string &tag, const std::string &data_type, const json &data, unsigned score = 50)
    {
        vdVelborApiData::Signature signature;
        signature.tag = tag;
        signature.format = "velbor-dat";
        signature.version = 1;
        signature.encryption = "none";
        signature.path =
            dir.WriteFile(tag + ".dat", json{{"data_type", data_type}, {"score", score}, {"data", data}}.dump());
        signature.stamp = ++stamp;
        offered[tag] = signature;
        instance.api_manager->SetIntelSignatures(offered);
    }

    // A signature feed over what the host offers now, listed by the
    // indicator under name.
    std::shared_ptr<vdfVelborAPI> AddSignatureFeed(vppIndicator::Base &indicator, const std::string &name = "sig")
    {
        auto feed = std::make_shared<vdfVelborAPI>(name, json::object(), dir.Path("legacy.json"));
        feed->Reload();
        std::shared_ptr<vppDataFeed::Base> base = feed;
        indicator.AddDataFeed(name, base);
        return feed;
    }

    static vdFlow::Ptr DomainFlow(const std::string &server)
    {
        return Flow([&](vdFlow &flow) { flow.host_server_name = server; });
    }

    vdInstance instance;
    TempDir dir;
    vdVelborApiManager::Signatures offered;
    uint64_t stamp = 0;
};
