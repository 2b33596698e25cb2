// A line writer shared by threads: each line is written whole, straight to
// its descriptor, and the first failure is kept with the writer's name.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "vd_common.h"

class LineWriter
{
public:
    // Writes to path, or to fallback_descriptor (named fallback_name in
    // messages) when path is empty or "-". Throws std::runtime_error when
    // the file cannot be created.
    LineWriter(const std::string &path, int fallback_descriptor, const std::string &fallback_name);
    ~LineWriter();

    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

    // Appends a line feed unless line ends with one. Nothing more is written
    // once a write failed.
    void WriteLine(const std::string &line);
    // Compact JSON; invalid UTF-8 is replaced rather than thrown.
    void WriteJson(const json &document);

    // Called once, on the writing thread, when a write first fails. Set it
    // before the writer is shared.
    void OnFirstFailure(std::function<void()> handler) { on_failure = std::move(handler); }

    // True once any write failed.
    bool Failed() const { return failed.load(); }
    // "NAME: the system's reason" for the first failed write; empty while
    // none failed.
    std::string Failure();

private:
    bool WriteAll(const std::string &text);

    std::string name;
    int descriptor;
    bool owns_descriptor = false;
    std::mutex lock;
    std::atomic<bool> failed{false};
    std::string failure;
    std::function<void()> on_failure;
};
