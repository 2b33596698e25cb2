// The events input, line by line, with line numbers; blank lines skipped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class LineSource
{
public:
    // Lines longer than this are refused rather than buffered.
    static constexpr size_t max_line_length = 64 * 1024 * 1024;
    // Bytes asked of the system per read: few system calls per line.
    static constexpr size_t read_block_size = 1024 * 1024;

    // Reads path, or standard input when path is empty or "-". Throws
    // std::runtime_error when the file cannot be opened or is a directory.
    explicit LineSource(const std::string &path);
    ~LineSource();

    LineSource(const LineSource &) = delete;
    LineSource &operator=(const LineSource &) = delete;

    // The next line that is not blank; false at the end of the input.
    // Throws InputError for an over-long line, std::runtime_error when
    // reading fails.
    bool Next(std::string &line);
    // Number (from 1) of the line Next returned last.
    size_t LineNumber() const { return line_number; }
    // Whether a whole line is buffered, so that Next will not wait for input.
    bool LineBuffered() const;
    // Makes a Next waiting for input, now or later, return false (thread-safe).
    void Interrupt();

private:
    bool ReadLine(std::string &line);
    // Appends buffered bytes up to the next newline; true once it is found.
    bool TakeUpToNewline(std::string &line);
    // Refills the buffer; false at the end of the input or when interrupted.
    bool Fill();
    // False when interrupted.
    bool WaitForInput();
    void CloseAll();

    int descriptor = 0;
    bool owns_descriptor = false;
    // Written by Interrupt; waited on together with the input.
    int interrupt_read = -1;
    int interrupt_write = -1;
    std::vector<char> buffer;
    size_t buffered_from = 0;
    size_t buffered_to = 0;
    size_t line_number = 0;
};
