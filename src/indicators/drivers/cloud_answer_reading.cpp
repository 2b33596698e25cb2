#include "indicators/drivers/cloud_answer_reading.h"

#include <stdexcept>

#include "common/json_reader.h"
#include "feeds/cloud/cloud_answer.h"
#include "feeds/data_feed.h"

namespace vpiCloudAnswer {

bool IsAnswer(const vppEventQueue::Event &ev)
{
    return ev.type == vppEventQueue::Event::LOOKUP && ev.Read().data_source == vppDataFeed::DataSource::cloud_intel;
}

const json *FlowMember(const std::string &tag, const vppEventQueue::Event &ev, std::string &reading)
{
    if (!ev.flow) {
        reading = "flow";
        vppJson::LogNotFoundOrInvalid(tag, reading.c_str(), "the answer names no flow");
        return nullptr;
    }
    reading = vdfCloudAnswer::Key(*ev.flow);
    if (const json *member = vdfCloudAnswer::Member(ev, reading))
        return member;
    // The line an answer without the member has always given: the library's
    // words for a key missing from an object.
    static const json no_members = json::object();
    return vppJson::FindMemberOrLog(tag, no_members, reading.c_str(), reading.c_str());
}

vppIntel::Entry NewEntry(const vppEventQueue::Event &ev)
{
    vppIntel::Entry entry;
    entry.data_source = vppDataFeed::Base::GetDataSourceName(ev.Read().data_source);
    entry.data_feed = ev.Read().data_feed;
    return entry;
}

void Read(const std::string &tag, const std::function<void(std::string &reading)> &read)
{
    std::string reading;
    try {
        read(reading);
    } catch (const vdException &e) {
        vd_dprintf("%s: %s %s\n", tag.c_str(), reading.c_str(), e.what());
    } catch (const std::out_of_range &e) {
        vppJson::LogNotFoundOrInvalid(tag, reading.c_str(), e.what());
    } catch (const json::exception &e) {
        vppJson::LogNotFoundOrInvalid(tag, reading.c_str(), e.what());
    }
}

}  // namespace vpiCloudAnswer
