// Checks that stopping something (a callable that terminates and joins its
// threads) ends within a deadline, so that a stop that hangs fails its test
// instead of hanging the whole suite.
#pragma once

#include <chrono>
#include <functional>
#include <string>

// Runs stop on a helper thread and waits for it up to deadline. An exception
// thrown by stop fails the test. A stop still running at the deadline fails
// the test and then ends the test program at once: the stop still uses the
// test's objects, so neither waiting for it nor going on is safe.
void ExpectStopsWithin(const std::function<void()> &stop, std::chrono::milliseconds deadline = std::chrono::seconds(10),
                       const std::string &what = "stop");
