// Whole-file helpers of the tests, the same on both platforms (binary mode throughout).
#include "support/test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool CopyFileTo(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec)
        std::filesystem::permissions(to, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    return !ec;
}

int CountEntries(const std::string& dir) {
    std::error_code ec;
    int n = 0;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        ++n;
    return n;
}

bool MakeDirectory(const std::string& path) {
    std::error_code ec;
    return std::filesystem::create_directories(path, ec);
}

void RemoveAll(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}
