// A temporary directory for a test, removed with everything in it at the end.
#pragma once

#include <string>

class TempDir
{
public:
    // Creates a fresh directory under $TMPDIR (or /tmp); throws
    // std::runtime_error when it cannot.
    TempDir();
    ~TempDir();

    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return root; }
    // The path of name inside the directory (name may hold subdirectories).
    std::string Path(const std::string &name) const;

    // Writes content to name, creating missing parent directories; returns
    // the file's path. Throws std::runtime_error on failure.
    std::string WriteFile(const std::string &name, const std::string &content) const;
    // The content of name; throws std::runtime_error when it cannot be read.
    std::string ReadFile(const std::string &name) const;
    bool Exists(const std::string &name) const;

private:
    std::string root;
};
