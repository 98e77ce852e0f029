#include "StagingFolders.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {
namespace {

bool isStagingName(std::string_view name) {
    if (!name.starts_with(stagingFolderPrefix))
        return false;
    const std::string_view uuid = name.substr(stagingFolderPrefix.size());
    if (uuid.size() != 36)
        return false;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const char c = uuid[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

} // namespace

FileDescriptor lockStagingFolder(const std::filesystem::path& folder) {
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throwErrno("open the staging folder");
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        throwErrno("lock the staging folder");
    return fd;
}

void removeAbandonedStagingFolders(const std::filesystem::path& temporaryDirectory) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(temporaryDirectory, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (!isStagingName(it->path().filename().string()))
            continue;
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != ::getuid())
            continue;
        try {
            // Held while removing, so that no installer can take the folder meanwhile.
            const FileDescriptor lock = lockStagingFolder(it->path());
            std::error_code removal;
            std::filesystem::remove_all(it->path(), removal);
        } catch (const std::system_error&) {
            // Locked: its installer is still at work.
        }
    }
}

} // namespace quorvane
