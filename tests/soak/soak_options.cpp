#include "soak/soak_options.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr const char *usage =
    "usage: soak_test [--seconds N] [--rate FLOWS_PER_SECOND] [--backlog N] [--seed N] [--max-rss-mib N] [--log] [--verbosity N]\n"
    "  Runs the plug-in under load and faults for N seconds (default 60), split over a start and a restart,\n"
    "  then prints its figures; exits 1 when a check fails, 3 when a phase hangs. --log echoes the plug-in's\n"
    "  log to standard error; --verbosity (0..3) turns on its debug lines.\n";

bool ReadNumber(const char *text, double &out)
{
    char *end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0' && out > 0;
}

bool ReadCount(const char *text, uint64_t &out)
{
    char *end = nullptr;
    out = std::strtoull(text, &end, 10);
    return end != text && *end == '\0' && text[0] != '-';
}

}  // namespace

std::optional<SoakOptions> SoakOptions::Parse(int argc, char **argv, int &status)
{
    SoakOptions options;
    for (int index = 1; index < argc; index++) {
        const std::string_view name = argv[index];
        const char *value = index + 1 < argc ? argv[index + 1] : nullptr;
        bool good = true;
        if (name == "--help") {
            std::fputs(usage, stdout);
            status = 0;
            return std::nullopt;
        } else if (name == "--log") {
            options.echo_log = true;
            continue;
        } else if (value == nullptr) {
            good = false;
        } else if (name == "--seconds") {
            good = ReadNumber(value, options.seconds);
        } else if (name == "--rate") {
            good = ReadNumber(value, options.flows_per_second);
        } else if (name == "--backlog") {
            good = ReadCount(value, options.backlog) && options.backlog > 0;
        } else if (name == "--seed") {
            good = ReadCount(value, options.seed);
        } else if (name == "--verbosity") {
            uint64_t level = 0;
            good = ReadCount(value, level) && level <= 3;
            options.verbosity = static_cast<uint8_t>(level);
        } else if (name == "--max-rss-mib") {
            good = ReadCount(value, options.max_rss_mib);
        } else {
            good = false;
        }
        if (!good) {
            std::fprintf(stderr, "soak_test: bad argument: %s%s%s\n%s", argv[index], value ? " " : "",
                         value ? value : "", usage);
            status = 2;
            return std::nullopt;
        }
        index++;
    }
    return options;
}
