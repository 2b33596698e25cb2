#include "replay.h"

#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <variant>

#include "api_data_reader.h"
#include "event_dispatch.h"
#include "event_reader.h"
#include "host_setup.h"
#include "input_error.h"
#include "line_source.h"
#include "output.h"
#include "plugin_loader.h"
#include "request_stream.h"
#include "stop_signals.h"

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

bool ReadsStandardInput(const ReplayOptions &options)
{
    return options.events_path.empty() || options.events_path == "-";
}

// Whether the replay stops before the end of its input: a stop signal came
// or a write failed (nothing more could come out).
bool ShouldStop(const LineWriter &output, const LineWriter &log)
{
    return StopSignals::Received() || output.Failed() || log.Failed();
}

// Carries the request out; a pause ends early on a stop signal.
void CarryOut(ReplayRequest &request, EventDispatcher &dispatcher)
{
    if (auto *sleep = std::get_if<SleepRequest>(&request))
        StopSignals::WaitUnlessStopped(std::chrono::duration<double>(sleep->seconds));
    else
        dispatcher.Dispatch(request);
}

// Hands in every line until the input ends or the replay must stop; returns
// the exit status the lines call for. The plug-in keeps running either way,
// so that it is stopped normally.
int HandInEvents(LineSource &source, EventDispatcher &dispatcher, const LineWriter &output, const LineWriter &log)
{
    RequestStream requests(source);
    for (;;) {
        ReplayRequest request;
        try {
            // A line read while the signal came is not handed in.
            if (!requests.Next(request) || ShouldStop(output, log))
                return exit_success;
        } catch (const InputError &error) {
            // A stop cuts the input short, perhaps inside a line.
            if (ShouldStop(output, log))
                return exit_success;
            Report("line " + std::to_string(requests.LineNumber()) + ": " + error.what());
            return exit_bad_input;
        } catch (const std::exception &error) {
            Report(error.what());
            return exit_failure;
        }
        try {
            CarryOut(request, dispatcher);
        } catch (const std::exception &error) {
            Report("line " + std::to_string(requests.LineNumber()) + ": the plug-in failed: " + error.what());
            return exit_failure;
        }
    }
}

void ReportStopSignal()
{
    if (int signal_number = StopSignals::Received())
        Report(StopSignals::Name(signal_number) +
               ": stopping the plug-in (it finishes its work and saves its state; a second signal exits at once)");
}

int RunPlugin(const ReplayOptions &options, HostSetup &host, LineSource &events, LineWriter &output, LineWriter &log)
{
    PluginLibrary library(options.plugin_path);
    ProcessorPtr processor =
        library.CreateProcessor(options.tag, {{"conf_filename", options.conf_path}}, options.plugin_type);
    processor->Create();

    EventDispatcher dispatcher(*processor, host.ApiManager(), output);
    // The input is read ahead on a thread of its own, whose wait for more
    // input a stop must end.
    StopSignals::InputInterrupter interrupter([&events] { events.Interrupt(); });
    int status = HandInEvents(events, dispatcher, output, log);
    if (status != exit_failure && !ShouldStop(output, log))
        StopSignals::WaitUnlessStopped(std::chrono::duration<double>(options.linger_seconds));
    ReportStopSignal();
    processor.reset();
    return status;
}

// A stop signal decides the status; a failed write is reported either way.
int FinalStatus(int status, LineWriter &output, LineWriter &log)
{
    for (LineWriter *writer : {&output, &log}) {
        if (writer->Failed()) {
            Report("writing the output failed: " + writer->Failure());
            status = exit_failure;
        }
    }
    if (int signal_number = StopSignals::Received())
        return StopSignals::exit_status_base + signal_number;
    return status;
}

}  // namespace

int RunReplay(const ReplayOptions &options)
{
    try {
        StopSignals::Install();
    } catch (const std::exception &error) {
        Report(error.what());
        return exit_failure;
    }
    if (ReadsStandardInput(options))
        StopSignals::EndInputOnStop(STDIN_FILENO);

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
        LineWriter output(options.output_path, STDOUT_FILENO, "standard output");
        LineWriter log(options.log_path, STDERR_FILENO, "standard error");
        // Nothing more can come out: the input is not waited for.
        output.OnFirstFailure(StopSignals::EndInputNow);
        log.OnFirstFailure(StopSignals::EndInputNow);
        int status = exit_failure;
        {
            HostSetup host(options, files.signatures, files.bootstrap, output, log);
            status = RunPlugin(options, host, *events, output, log);
        }
        return FinalStatus(status, output, log);
    } catch (const std::exception &error) {
        Report(error.what());
        return exit_failure;
    }
}
