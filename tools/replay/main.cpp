// velbord-replay: the stand-in host for one plug-in, driven by recorded events.
#include <iostream>

#include "options.h"
#include "replay.h"

int main(int argc, char *argv[])
{
    ReplayOptions options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError &error) {
        std::cerr << "velbord-replay: " << error.what() << "\nTry 'velbord-replay --help'.\n";
        return exit_bad_input;
    }
    if (options.help) {
        std::cout << UsageText();
        return exit_success;
    }
    return RunReplay(options);
}
