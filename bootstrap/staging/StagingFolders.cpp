#include "staging/StagingFolders.h"

#include "base/Uuid.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {
namespace {

bool isStagingName(std::string_view name) {
    return isPrefixedUuid(name, stagingFolderPrefix);
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

StagingFolder
createStagingFolder(const std::filesystem::path& temporaryDirectory,
                    const std::function<void(const std::filesystem::path&)>& betweenCreateAndLock) {
    // Each lost race costs one attempt; only a sweep that keeps landing in the gap, or a
    // temporary directory that keeps failing, uses them all.
    constexpr int attempts = 16;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::filesystem::path folder =
            temporaryDirectory / (std::string(stagingFolderPrefix) + randomUuid());
        if (::mkdir(folder.c_str(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            throwErrno("create the staging folder");
        }
        if (betweenCreateAndLock)
            betweenCreateAndLock(folder);
        FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            if (errno == ENOENT)
                continue; // a sweep removed it
            throwErrno("open the staging folder");
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                continue; // a sweep holds it and is removing it
            throwErrno("lock the staging folder");
        }
        // A sweep may have removed the folder and let go of it before the lock was taken.
        struct stat locked {};
        struct stat atPath {};
        if (::fstat(fd.get(), &locked) != 0)
            throwErrno("inspect the staging folder");
        if (::lstat(folder.c_str(), &atPath) != 0 || atPath.st_dev != locked.st_dev ||
            atPath.st_ino != locked.st_ino)
            continue;
        // The umask may have taken bits away; the owner still needs all three.
        claimFolder(fd.get(), "the staging folder");
        return StagingFolder{std::move(folder), std::move(fd)};
    }
    throw std::system_error(EAGAIN, std::generic_category(), "create the staging folder");
}

void removeAbandonedStagingFolders(const std::filesystem::path& temporaryDirectory) {
    removeAbandonedStagingFolders(temporaryDirectory, {});
}

std::optional<StagingFolder>
removeAbandonedStagingFolders(const std::filesystem::path& temporaryDirectory,
                              const std::function<bool(const std::filesystem::path&)>& adopt) {
    std::optional<StagingFolder> adopted;
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
            FileDescriptor lock = lockStagingFolder(it->path());
            // Another sweep may have removed the folder before the lock was taken.
            struct stat locked {};
            struct stat atPath {};
            if (::fstat(lock.get(), &locked) != 0 || ::lstat(it->path().c_str(), &atPath) != 0 ||
                atPath.st_dev != locked.st_dev || atPath.st_ino != locked.st_ino ||
                locked.st_uid != ::geteuid())
                continue;
            bool keep = false;
            if (!adopted && adopt) {
                try {
                    // Its modes may have changed while it lay abandoned: a folder this run may
                    // continue is its owner's alone again before anything in it is read.
                    claimFolder(lock.get(), "the staging folder");
                    keep = adopt(it->path());
                } catch (...) {
                    keep = false;
                }
            }
            if (keep) {
                adopted = StagingFolder{it->path(), std::move(lock)};
                continue;
            }
            removeTree(it->path());
        } catch (const std::system_error&) {
            // Locked: its installer is still at work.
        }
    }
    return adopted;
}

} // namespace quorvane
