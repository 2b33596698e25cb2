// The host's plug-in classes and its dispatch to other plug-ins.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "vd_common.h"
#include "vd_flow.h"
#include "vd_thread.h"

struct vdPacketStats {
    uint64_t packets = 0;
    uint64_t bytes = 0;
};

struct vdInstanceStatus {
    time_t uptime = 0;
};

class vdPlugin : public vdThread
{
public:
    enum Event : uint8_t { reload = 0 };

    // Sink payload flags: one format, optional framing and compression.
    enum class DispatchFlags : uint8_t {
        none = 0x00,
        format_json = 0x01,
        format_json_object = 0x02,
        format_msgpack = 0x04,
        append_linefeed = 0x08,
        prepend_length_header = 0x10,
        compressor_gzip = 0x20,
    };

    // Plug-in types the host records.
    enum Type : uint8_t { type_unknown = 0, type_processor = 1, type_sink = 2 };

    explicit vdPlugin(const std::string &tag);
    ~vdPlugin() override;

    virtual void GetLibrary(std::string &out) { out.clear(); }
    virtual void GetName(std::string &out) { out.clear(); }
    virtual void GetVersion(std::string &out) { out.clear(); }
    virtual void GetStatus(json &) {}
    virtual void DisplayStatus(const json &) {}
    virtual void DispatchEvent(Event, void * = nullptr) {}

    // Hands a payload to the named host sink for the given channels.
    static void DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels, const json &payload,
                                    vdFlags<DispatchFlags> flags);

    // The type the host records for the next plug-in object it constructs.
    static void SetCreateType(uint8_t type);

    uint8_t type = type_unknown;
    std::string conf_filename;
};

class vdPluginProcessor : public vdPlugin
{
public:
    enum Event : uint16_t {
        none = 0,
        flow_stats = 1,
        flow_new = 2,
        flow_expiring = 3,
        flow_expired = 4,
        intel_record = 5,
        dpi_new = 6,
        dpi_update = 7,
        dpi_complete = 8,
        interfaces = 9,
        pkt_global_stats = 10,
        pkt_iface_stats = 11,
        update_init = 12,
        periodic_update = 13,
        update_complete = 14,
        status_update = 15,
    };

    // Sets tag, conf_filename (the "conf_filename" parameter) and type.
    vdPluginProcessor(const std::string &tag, const std::map<std::string, std::string> &params);
    ~vdPluginProcessor() override;

    virtual void DispatchProcessorEvent(Event, vdFlowMap *) {}
    virtual void DispatchProcessorEvent(Event, vdFlow::Ptr &) {}
    virtual void DispatchProcessorEvent(Event, vdFlow::Ptr &, json &) {}
    virtual void DispatchProcessorEvent(Event, std::map<std::string, std::shared_ptr<vdInterface>> *) {}
    virtual void DispatchProcessorEvent(Event, const std::string &, vdPacketStats *) {}
    virtual void DispatchProcessorEvent(Event, vdPacketStats *) {}
    virtual void DispatchProcessorEvent(Event, vdInstanceStatus *) {}
    virtual void DispatchProcessorEvent(Event) {}
};

// Routes payloads and records between plug-ins. A host program installs
// the handlers that receive them; without one, a payload is dropped.
class vdPluginManager
{
public:
    using SinkHandler = std::function<void(const std::string &sink, const std::set<std::string> &channels,
                                           const json &payload, vdFlags<vdPlugin::DispatchFlags> flags)>;
    using ProcessorHandler = std::function<void(const std::string &name, vdPluginProcessor::Event code,
                                                const vdFlow::Ptr &flow, const json &document)>;

    // Hands an intel record (or any document) to the named processor plug-in.
    void DispatchProcessorEvent(const std::string &name, vdPluginProcessor::Event code, const vdFlow::Ptr &flow,
                                const json &document);
    void DispatchSinkPayload(const std::string &sink, const std::set<std::string> &channels, const json &payload,
                             vdFlags<vdPlugin::DispatchFlags> flags);

    void SetSinkHandler(SinkHandler handler);
    void SetProcessorHandler(ProcessorHandler handler);

private:
    std::mutex lock;
    SinkHandler sink_handler;
    ProcessorHandler processor_handler;
};

// The entry every plug-in library exports.
extern "C" {
using vdPluginInitFunction = vdPlugin *(*)(const std::string &tag, const std::map<std::string, std::string> &params);
}
