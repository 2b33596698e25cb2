// A line writer shared by threads: each line is written whole and flushed.
#pragma once

#include <fstream>
#include <mutex>
#include <ostream>
#include <string>

#include "vd_common.h"

class LineWriter
{
public:
    // Writes to path, or to fallback when path is empty or "-". Throws
    // std::runtime_error when the file cannot be created.
    LineWriter(const std::string &path, std::ostream &fallback);

    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

    // Appends a line feed unless line ends with one.
    void WriteLine(const std::string &line);
    // Compact JSON; invalid UTF-8 is replaced rather than thrown.
    void WriteJson(const json &document);

    // True once any write failed.
    bool Failed();

private:
    std::mutex lock;
    std::ofstream file;
    std::ostream *stream;
    bool failed = false;
};
