#include "options.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <string_view>
#include <vector>

namespace {

constexpr double max_linger_seconds = 3600;

unsigned long ParseUnsigned(const std::string &option, const std::string &text, unsigned long maximum)
{
    unsigned long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > maximum)
        throw UsageError(option + ": expected a whole number 0.." + std::to_string(maximum) + ", got \"" + text + "\"");
    return value;
}

double ParseSeconds(const std::string &option, const std::string &text)
{
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < 0 || value > max_linger_seconds)
        throw UsageError(option + ": expected seconds 0..3600, got \"" + text + "\"");
    return value;
}

void AddVariable(ReplayOptions &options, const std::string &text)
{
    auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        throw UsageError("--var: expected NAME=VALUE, got \"" + text + "\"");
    options.variables[text.substr(0, equals)] = text.substr(equals + 1);
}

using ValueHandler = std::function<void(ReplayOptions &, const std::string &)>;

template <auto member> ValueHandler Text()
{
    return [](ReplayOptions &options, const std::string &value) { options.*member = value; };
}

const std::map<std::string_view, ValueHandler> &ValueOptions()
{
    using O = ReplayOptions;
    static const std::map<std::string_view, ValueHandler> options{
        {"--plugin", Text<&O::plugin_path>()},
        {"--conf", Text<&O::conf_path>()},
        {"--state", Text<&O::state_dir>()},
        {"--legacy-intel", Text<&O::legacy_intel_path>()},
        {"--signatures", Text<&O::signatures_path>()},
        {"--bootstrap", Text<&O::bootstrap_path>()},
        {"--tag", Text<&O::tag>()},
        {"--output", Text<&O::output_path>()},
        {"--log", Text<&O::log_path>()},
        {"--var", AddVariable},
        {"--verbosity",
         [](O &o, const std::string &v) { o.verbosity = static_cast<uint8_t>(ParseUnsigned("--verbosity", v, 255)); }},
        {"--type",
         [](O &o, const std::string &v) { o.plugin_type = static_cast<uint8_t>(ParseUnsigned("--type", v, 255)); }},
        {"--linger", [](O &o, const std::string &v) { o.linger_seconds = ParseSeconds("--linger", v); }},
    };
    return options;
}

const std::map<std::string_view, std::function<void(ReplayOptions &)>> &FlagOptions()
{
    static const std::map<std::string_view, std::function<void(ReplayOptions &)>> options{
        {"--debug", [](ReplayOptions &o) { o.debug = true; }},
        {"--help", [](ReplayOptions &o) { o.help = true; }},
    };
    return options;
}

void SetPositional(ReplayOptions &options, const std::string &argument, bool &events_given)
{
    if (events_given)
        throw UsageError("more than one events file: \"" + argument + "\"");
    options.events_path = argument;
    events_given = true;
}

// "--name=value" or "--name value".
void ParseOption(ReplayOptions &options, const std::string &argument, int &index, int argc, const char *const argv[])
{
    auto equals = argument.find('=');
    std::string name = argument.substr(0, equals);

    if (auto flag = FlagOptions().find(name); flag != FlagOptions().end()) {
        if (equals != std::string::npos)
            throw UsageError(name + " takes no value");
        flag->second(options);
        return;
    }
    auto option = ValueOptions().find(name);
    if (option == ValueOptions().end())
        throw UsageError("unknown option \"" + name + "\"");
    std::string value;
    if (equals != std::string::npos)
        value = argument.substr(equals + 1);
    else if (index + 1 < argc)
        value = argv[++index];
    else
        throw UsageError(name + " needs a value");
    option->second(options, value);
}

}  // namespace

ReplayOptions ParseOptions(int argc, const char *const argv[])
{
    ReplayOptions options;
    bool events_given = false;
    bool options_ended = false;
    for (int index = 1; index < argc; index++) {
        std::string argument = argv[index];
        if (options_ended || argument == "-" || !argument.starts_with("-"))
            SetPositional(options, argument, events_given);
        else if (argument == "--")
            options_ended = true;
        else
            ParseOption(options, argument, index, argc, argv);
    }
    if (options.help)
        return options;
    if (options.plugin_path.empty())
        throw UsageError("--plugin FILE is required");
    if (options.conf_path.empty())
        throw UsageError("--conf FILE is required");
    if (options.state_dir.empty())
        throw UsageError("--state: empty directory name");
    return options;
}

const char *UsageText()
{
    return R"(Usage: velbord-replay --plugin FILE --conf FILE [options] [EVENTS]

Plays the host's part for one processor plug-in: loads it, hands it the
events read from EVENTS (JSON lines; standard input when absent or "-"),
then stops it. Output lines are JSON: sink payloads, processor records and
status reports.

Options:
  --plugin FILE        plug-in library to load (required)
  --conf FILE          plug-in configuration file (required)
  --state DIR          plug-in state directory, created when missing
                       (default ./state; also the variable path_state_persistent)
  --legacy-intel FILE  legacy intelligence file
  --signatures FILE    offered signatures: a JSON list of signature objects
  --bootstrap FILE     bootstrap data: {"intel": {"urls": {...}, "auth": TOKEN}, ...}
  --var NAME=VALUE     host variable (repeatable)
  --verbosity N        host verbosity 0..255 (default 0)
  --debug              debug mode: debug log lines are written
  --type N             plug-in type the host records 0..255 (default 1)
  --tag NAME           plug-in tag (default proc-intel)
  --output FILE        output lines (default standard output)
  --log FILE           log lines (default standard error)
  --linger SECONDS     keep the plug-in running after the last line (default 2)
  --help               this text

Exit status: 0 success, 1 the plug-in could not be loaded or run,
2 bad command line or bad input, 128 + N after signal N: SIGINT, SIGTERM
and SIGHUP stop the plug-in normally (a second signal exits at once).
)";
}
