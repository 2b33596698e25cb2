#include "support/server_stream.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class PlainStream final : public ServerStream
{
public:
    PlainStream(int fd, int stop_fd) : fd(fd), stop_fd(stop_fd) {}
    ~PlainStream() override { Close(); }

    bool Open() override { return true; }

    bool Receive(std::string &buffer) override
    {
        if (WaitReady(fd, POLLIN, stop_fd, -1) != Readiness::ready)
            return false;
        char chunk[16 * 1024];
        ssize_t count;
        do {
            count = recv(fd, chunk, sizeof(chunk), 0);
        } while (count < 0 && errno == EINTR);
        if (count <= 0)
            return false;
        buffer.append(chunk, static_cast<size_t>(count));
        return true;
    }

    bool SendAll(std::string_view data) override
    {
        while (!data.empty()) {
            if (WaitReady(fd, POLLOUT, stop_fd, -1) != Readiness::ready)
                return false;
            ssize_t count = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                return false;
            data.remove_prefix(static_cast<size_t>(count));
        }
        return true;
    }

    void Close() override
    {
        if (fd < 0)
            return;
        shutdown(fd, SHUT_RDWR);
        close(fd);
        fd = -1;
    }

private:
    int fd;
    int stop_fd;
};

}  // namespace

Readiness WaitReady(int fd, short events, int stop_fd, int timeout_ms)
{
    for (;;) {
        pollfd fds[2] = {{stop_fd, POLLIN, 0}, {fd, events, 0}};
        int count = poll(fds, fd < 0 ? 1 : 2, timeout_ms);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 || fds[0].revents != 0)
            return Readiness::stopped;
        if (count == 0)
            return Readiness::timed_out;
        return Readiness::ready;
    }
}

std::unique_ptr<ServerStream> PlainServerStream(int fd, int stop_fd)
{
    return std::make_unique<PlainStream>(fd, stop_fd);
}
