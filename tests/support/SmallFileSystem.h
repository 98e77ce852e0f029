#pragma once

#include <cstddef>
#include <filesystem>

namespace quorvane::test {

// A tmpfs of a few bytes mounted on a fresh folder, to run out of space for real; unmounted when
// it goes away. Mounting needs root: check mounted().
class SmallFileSystem {
public:
    SmallFileSystem(const std::filesystem::path& mountPoint, std::size_t bytes);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return mounted_; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    bool mounted_ = false;
};

} // namespace quorvane::test
