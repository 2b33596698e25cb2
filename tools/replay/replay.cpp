#include "replay.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include "api_data_reader.h"
#include "event_dispatch.h"
#include "event_reader.h"
#include "host_setup.h"
#include "input_error.h"
#include "line_source.h"
#include "output.h"
#include "plugin_loader.h"
#include "request_stream.h"

namespace {

void Report(const std::string &message)
{
    std::cerr << "velbord-replay: " << message << std::endl;
}

struct OptionFiles {
    vdVelborApiManager::Signatures signatures;
    BootstrapData bootstrap;
};

OptionFiles ReadOptionFiles(const ReplayOptions &options)
{
    OptionFiles files;
    if (!options.signatures_path.empty())
        files.signatures = ReadSignaturesFile(options.signatures_path);
    if (!options.bootstrap_path.empty())
        files.bootstrap = ReadBootstrapFile(options.bootstrap_path);
    return files;
}

// Hands in every line; returns the exit status the lines call for. The
// plug-in keeps running either way, so that it is stopped normally.
int HandInEvents(LineSource &source, EventDispatcher &dispatcher)
{
    RequestStream requests(source);
    for (;;) {
        ReplayRequest request;
        try {
            if (!requests.Next(request))
                return exit_success;
        } catch (const InputError &error) {
            Report("line " + std::to_string(requests.LineNumber()) + ": " + error.what());
            return exit_bad_input;
        } catch (const std::exception &error) {
            Report(error.what());
            return exit_failure;
        }
        try {
            dispatcher.Dispatch(request);
        } catch (const std::exception &error) {
            Report("line " + std::to_string(requests.LineNumber()) + ": the plug-in failed: " + error.what());
            return exit_failure;
        }
    }
}

int RunPlugin(const ReplayOptions &options, HostSetup &host, LineSource &events, LineWriter &output)
{
    PluginLibrary library(options.plugin_path);
    ProcessorPtr processor =
        library.CreateProcessor(options.tag, {{"conf_filename", options.conf_path}}, options.plugin_type);
    processor->Create();

    EventDispatcher dispatcher(*processor, host.ApiManager(), output);
    int status = HandInEvents(events, dispatcher);
    if (status != exit_failure)
        std::this_thread::sleep_for(std::chrono::duration<double>(options.linger_seconds));
    processor.reset();
    return status;
}

}  // namespace

int RunReplay(const ReplayOptions &options)
{
    OptionFiles files;
    std::unique_ptr<LineSource> events;
    try {
        files = ReadOptionFiles(options);
        events = std::make_unique<LineSource>(options.events_path);
    } catch (const std::exception &error) {
        Report(error.what());
        return exit_bad_input;
    }

    try {
        LineWriter output(options.output_path, std::cout);
        LineWriter log(options.log_path, std::cerr);
        int status = exit_failure;
        {
            HostSetup host(options, files.signatures, files.bootstrap, output, log);
            status = RunPlugin(options, host, *events, output);
        }
        if (output.Failed() || log.Failed()) {
            Report("writing the output failed");
            return exit_failure;
        }
        return status;
    } catch (const std::exception &error) {
        Report(error.what());
        return exit_failure;
    }
}
