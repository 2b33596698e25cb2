// The events input, line by line, with line numbers; blank lines skipped.
#pragma once

#include <cstddef>
#include <fstream>
#include <istream>
#include <string>

class LineSource
{
public:
    // Lines longer than this are refused rather than buffered.
    static constexpr size_t max_line_length = 64 * 1024 * 1024;

    // Reads path, or standard input when path is empty or "-". Throws
    // std::runtime_error when the file cannot be opened.
    explicit LineSource(const std::string &path);

    LineSource(const LineSource &) = delete;
    LineSource &operator=(const LineSource &) = delete;

    // The next line that is not blank; false at the end of the input.
    // Throws InputError for an over-long line, std::runtime_error when
    // reading fails.
    bool Next(std::string &line);
    // Number (from 1) of the line Next returned last.
    size_t LineNumber() const { return line_number; }

private:
    bool ReadLine(std::string &line);

    std::ifstream file;
    std::istream *stream;
    size_t line_number = 0;
};
