// One replay run: set up the host, load the plug-in, hand in the events,
// stop the plug-in, tear the host down.
#pragma once

#include "options.h"

enum ReplayExit : int {
    exit_success = 0,
    exit_failure = 1,    // the plug-in could not be loaded or failed
    exit_bad_input = 2,  // bad command line, option file or events line
};

// Diagnostics go to standard error. Returns the process exit status.
int RunReplay(const ReplayOptions &options);
