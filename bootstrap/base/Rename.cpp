#include "base/Rename.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "base/FileIo.h"

namespace quorvane {

void moveIntoPlace(int dir, const std::filesystem::path& from, const std::filesystem::path& to,
                   bool swap) {
#if __APPLE__
    const int result =
        ::renameatx_np(dir, from.c_str(), dir, to.c_str(), swap ? RENAME_SWAP : RENAME_EXCL);
#else
    const int result =
        ::renameat2(dir, from.c_str(), dir, to.c_str(), swap ? RENAME_EXCHANGE : RENAME_NOREPLACE);
#endif
    if (result != 0) {
        const int error = errno;
        throw std::system_error(error > 0 ? error : EIO, std::generic_category(), "rename");
    }
}

void moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    try {
        moveIntoPlace(AT_FDCWD, from, to, false);
        return;
    } catch (const std::system_error& e) {
        if (e.code().value() != EINVAL && e.code().value() != ENOSYS)
            throw;
    }
    if (::link(from.c_str(), to.c_str()) != 0)
        throwErrno("link");
    if (::unlink(from.c_str()) != 0)
        throwErrno("unlink");
}

} // namespace quorvane
