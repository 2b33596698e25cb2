#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

LineWriter::LineWriter(const std::string &path, int fallback_descriptor, const std::string &fallback_name)
    : name(fallback_name), descriptor(fallback_descriptor)
{
    if (path.empty() || path == "-")
        return;
    descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (descriptor < 0)
        throw std::runtime_error(path + ": cannot create: " + std::strerror(errno));
    owns_descriptor = true;
    name = path;
}

LineWriter::~LineWriter()
{
    if (owns_descriptor)
        close(descriptor);
}

void LineWriter::WriteLine(const std::string &line)
{
    std::lock_guard<std::mutex> guard(lock);
    if (failed)
        return;
    if (line.empty() || line.back() != '\n')
        WriteAll(line + '\n');
    else
        WriteAll(line);
}

void LineWriter::WriteJson(const json &document)
{
    std::string text;
    vd_json_to_string(document, text);
    WriteLine(text);
}

std::string LineWriter::Failure()
{
    std::lock_guard<std::mutex> guard(lock);
    return failure;
}

bool LineWriter::WriteAll(const std::string &text)
{
    for (size_t written = 0; written < text.size();) {
        ssize_t put = write(descriptor, text.data() + written, text.size() - written);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            failure = name + ": " + std::strerror(errno);
            failed = true;
            if (on_failure)
                on_failure();
            return false;
        }
        written += static_cast<size_t>(put);
    }
    return true;
}
