#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace quorvane::test {

// A fresh folder under the system's temporary directory, removed with everything in it when the
// object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, std::string_view contents);
std::string readFile(const std::filesystem::path& path);
// The last `bytes` of a file, for a failure's message; "(none)" when there is no such file.
std::string tailOfFile(const std::filesystem::path& path, std::size_t bytes);

} // namespace quorvane::test
