// Temporary files committed over their target in one rename.
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "vd_temp.h"

namespace {

std::string DirectoryOf(const std::string &path)
{
    std::vector<char> copy(path.begin(), path.end());
    copy.push_back('\0');
    return dirname(copy.data());
}

void SyncDirectory(const std::string &directory)
{
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

}  // namespace

namespace vdTemp {

File::File(const std::string &target, bool keep, mode_t mode) : target(target), keep(keep), mode(mode ? mode : 0644) {}

File::~File()
{
    if (!committed)
        Abandon();
}

int File::Open()
{
    if (fd >= 0)
        return fd;
    std::string pattern = target + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = mkstemp(name.data());
    if (fd < 0)
        return -1;
    path = name.data();
    stream.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!stream.is_open()) {
        int saved = errno ? errno : EIO;
        Abandon();
        errno = saved;
        return -1;
    }
    return fd;
}

bool File::Commit()
{
    if (fd < 0 || committed) {
        errno = EBADF;
        return false;
    }
    stream.flush();
    bool written = stream.good();
    stream.close();
    if (!written || fchmod(fd, mode) != 0 || fsync(fd) != 0) {
        if (errno == 0)
            errno = EIO;
        return false;
    }
    if (rename(path.c_str(), target.c_str()) != 0)
        return false;
    committed = true;
    close(fd);
    fd = -1;
    SyncDirectory(DirectoryOf(target));
    return true;
}

void File::Abandon()
{
    if (stream.is_open())
        stream.close();
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
    if (!path.empty() && !keep)
        unlink(path.c_str());
}

}  // namespace vdTemp
