#include "support/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velbord-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::runtime_error(pattern + ": cannot create a temporary directory: " + std::strerror(errno));
    root = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::string TempDir::Path(const std::string &name) const
{
    return root + "/" + name;
}

std::string TempDir::WriteFile(const std::string &name, const std::string &content) const
{
    std::string path = Path(name);
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (error)
        throw std::runtime_error(path + ": cannot create its directory: " + error.message());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    file.close();
    if (!file)
        throw std::runtime_error(path + ": cannot write");
    return path;
}

std::string TempDir::ReadFile(const std::string &name) const
{
    std::string path = Path(name);
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error(path + ": cannot open: " + std::strerror(errno));
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

bool TempDir::Exists(const std::string &name) const
{
    std::error_code ignored;
    return std::filesystem::exists(Path(name), ignored);
}
