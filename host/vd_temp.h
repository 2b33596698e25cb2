// The host's temporary file: written beside its target and renamed over it
// in one step on Commit; a file never committed is removed.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

namespace vdTemp {

class File
{
public:
    // keep: leave an uncommitted temporary file behind (for inspection);
    // mode: permissions of the committed file, 0 for 0644.
    explicit File(const std::string &target, bool keep = false, mode_t mode = 0);
    ~File();

    File(const File &) = delete;
    File &operator=(const File &) = delete;

    // Creates the temporary file; negative with errno set on failure.
    int Open();
    // Flushes, syncs and renames over the target; false on failure (errno set).
    bool Commit();

    std::ofstream &Stream() { return stream; }
    template <typename T> File &operator<<(const T &value)
    {
        stream << value;
        return *this;
    }

    const std::string &GetTarget() const { return target; }
    const std::string &GetPath() const { return path; }

private:
    void Abandon();

    std::string target;
    std::string path;
    bool keep;
    mode_t mode;
    int fd = -1;
    bool committed = false;
    std::ofstream stream;
};

}  // namespace vdTemp
