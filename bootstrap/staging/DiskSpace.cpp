#include "staging/DiskSpace.h"

#include <cerrno>
#include <string>
#include <system_error>

#include <sys/statvfs.h>

#include "base/FileIo.h"

namespace quorvane {

void requireRoom(const std::filesystem::path& directory, std::uint64_t bytes) {
    struct statvfs info {};
    if (::statvfs(directory.c_str(), &info) != 0)
        throwErrno("statvfs");
    const std::uint64_t block = info.f_frsize > 0 ? info.f_frsize : 1;
    const auto available = static_cast<std::uint64_t>(info.f_bavail);
    // In blocks, so that a large file system's byte count cannot wrap.
    if (available < bytes / block + (bytes % block != 0))
        throw std::system_error(ENOSPC, std::generic_category(),
                                std::to_string(bytes) + " bytes needed, " +
                                    std::to_string(available) + " blocks of " +
                                    std::to_string(block) + " available");
}

} // namespace quorvane
