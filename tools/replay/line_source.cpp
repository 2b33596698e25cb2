#include "line_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "input_error.h"

namespace {

std::runtime_error SystemError(const std::string &what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

LineSource::LineSource(const std::string &path) : buffer(read_block_size)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw SystemError("cannot create a pipe");
    interrupt_read = ends[0];
    interrupt_write = ends[1];
    if (path.empty() || path == "-")
        return;
    // A blocking open: a FIFO waits for its writer, as a file of events would.
    descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        throw SystemError(path + ": cannot open");
    owns_descriptor = true;
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode)) {
        CloseAll();
        throw std::runtime_error(path + ": is a directory");
    }
}

LineSource::~LineSource()
{
    CloseAll();
}

void LineSource::CloseAll()
{
    if (owns_descriptor)
        ::close(descriptor);
    ::close(interrupt_read);
    ::close(interrupt_write);
}

bool LineSource::LineBuffered() const
{
    return std::memchr(buffer.data() + buffered_from, '\n', buffered_to - buffered_from) != nullptr;
}

void LineSource::Interrupt()
{
    char wake = 0;
    // Full only when written before: the reader is woken either way.
    [[maybe_unused]] ssize_t written = ::write(interrupt_write, &wake, 1);
}

bool LineSource::WaitForInput()
{
    pollfd waits[2] = {{descriptor, POLLIN, 0}, {interrupt_read, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) >= 0)
            return (waits[1].revents & POLLIN) == 0;
        if (errno != EINTR)
            throw SystemError("reading the events failed");
    }
}

bool LineSource::Next(std::string &line)
{
    while (ReadLine(line)) {
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            return true;
    }
    return false;
}

bool LineSource::ReadLine(std::string &line)
{
    line.clear();
    bool any = false;
    while (buffered_from < buffered_to || Fill()) {
        any = true;
        if (TakeUpToNewline(line))
            break;
    }
    if (any)
        line_number++;
    return any;
}

bool LineSource::TakeUpToNewline(std::string &line)
{
    const char *start = buffer.data() + buffered_from;
    size_t available = buffered_to - buffered_from;
    auto *newline = static_cast<const char *>(std::memchr(start, '\n', available));
    size_t length = newline ? static_cast<size_t>(newline - start) : available;
    if (line.size() + length > max_line_length) {
        line_number++;
        throw InputError("", "longer than " + std::to_string(max_line_length) + " bytes");
    }
    line.append(start, length);
    buffered_from += newline ? length + 1 : length;
    return newline != nullptr;
}

bool LineSource::Fill()
{
    if (!WaitForInput())
        return false;
    for (;;) {
        ssize_t count = ::read(descriptor, buffer.data(), buffer.size());
        if (count >= 0) {
            buffered_from = 0;
            buffered_to = static_cast<size_t>(count);
            return count > 0;
        }
        if (errno != EINTR)
            throw SystemError("reading the events failed");
    }
}
