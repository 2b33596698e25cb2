#include "line_source.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "input_error.h"

LineSource::LineSource(const std::string &path) : stream(&std::cin)
{
    if (path.empty() || path == "-")
        return;
    file.open(path);
    if (!file)
        throw std::runtime_error(path + ": cannot open: " + std::strerror(errno));
    stream = &file;
}

bool LineSource::Next(std::string &line)
{
    while (ReadLine(line)) {
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            return true;
    }
    if (stream->bad())
        throw std::runtime_error("reading the events failed");
    return false;
}

bool LineSource::ReadLine(std::string &line)
{
    line.clear();
    char c;
    bool any = false;
    while (stream->get(c)) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() == max_line_length) {
            line_number++;
            throw InputError("", "longer than " + std::to_string(max_line_length) + " bytes");
        }
        line.push_back(c);
    }
    if (any)
        line_number++;
    return any;
}
