#include "staging/DiskSpace.h"

#include <sys/statvfs.h>

#include "base/FileIo.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane {

void requireRoom(const std::filesystem::path& directory, std::uint64_t bytes) {
    struct statvfs info {};
    if (::statvfs(directory.c_str(), &info) != 0)
        throwErrno("statvfs");
    const std::uint64_t block = info.f_frsize > 0 ? info.f_frsize : 1;
    // In blocks, so that a large file system's byte count cannot wrap.
    if (static_cast<std::uint64_t>(info.f_bavail) < bytes / block + (bytes % block != 0))
        throw BootstrapFailure::insufficientSpace;
}

} // namespace quorvane
