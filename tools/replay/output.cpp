#include "output.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

LineWriter::LineWriter(const std::string &path, std::ostream &fallback) : stream(&fallback)
{
    if (path.empty() || path == "-")
        return;
    file.open(path, std::ios::out | std::ios::trunc);
    if (!file)
        throw std::runtime_error(path + ": cannot create: " + std::strerror(errno));
    stream = &file;
}

void LineWriter::WriteLine(const std::string &line)
{
    std::lock_guard<std::mutex> guard(lock);
    *stream << line;
    if (line.empty() || line.back() != '\n')
        *stream << '\n';
    stream->flush();
    if (!*stream)
        failed = true;
}

void LineWriter::WriteJson(const json &document)
{
    std::string text;
    vd_json_to_string(document, text);
    WriteLine(text);
}

bool LineWriter::Failed()
{
    std::lock_guard<std::mutex> guard(lock);
    return failed;
}
