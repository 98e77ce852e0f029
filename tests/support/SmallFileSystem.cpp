#include "SmallFileSystem.h"

#include <string>

#include <sys/mount.h>

namespace quorvane::test {

SmallFileSystem::SmallFileSystem(const std::filesystem::path& mountPoint, std::size_t bytes)
    : path_(mountPoint) {
    std::filesystem::create_directories(mountPoint);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    mounted_ =
        ::mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

SmallFileSystem::~SmallFileSystem() {
    if (mounted_)
        ::umount2(path_.c_str(), MNT_DETACH);
}

} // namespace quorvane::test
