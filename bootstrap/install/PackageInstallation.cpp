#include "base/Cancellation.h"
#include "base/FileIo.h"
#include "base/Rename.h"
#include "contract/ExitStatus.h"
#include "install/BootstrapSystemInstaller.h"
#include "install/SystemInstallerDetail.h"
#include "install/WorkFolder.h"
#include "manifest/BootstrapFailure.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <quorvane/BuildConfig.h>

namespace quorvane::BootstrapSystemInstaller {
namespace {

// Makes the new entry in `dir` survive a power cut. Folders that cannot be synced (some file
// systems refuse it) are left as they are; a failing disk is reported.
void syncFolder(int dir) {
    if (::fsync(dir) != 0 && (errno == EIO || errno == ENOSPC || errno == EDQUOT))
        throw std::system_error(errno, std::generic_category(), "fsync");
}

} // namespace

std::filesystem::path install(const std::filesystem::path& package,
                              const BootstrapManifest& manifest,
                              const std::filesystem::path& target, std::stop_token stop,
                              const SystemContext& context) {
    manifest.validate();
    if (!manifest.pinsInstalledApp())
        throw BootstrapFailure::configuration;
    if (target.empty())
        throw BootstrapFailure::installation;

    createFoldersForOwner(target);

    // Close-on-exec: the tools started below must not inherit the lock.
    FileDescriptor lock(::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
    if (!lock)
        throw BootstrapFailure::installation;
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
        throw BootstrapFailure::installation;

    // Nobody else can be working in the folder now: whatever work folders are here belong to
    // installers that were killed.
    removeStaleWorkFolders(target);

    const std::filesystem::path name{config::bundleName};
    const auto destination = target / name;
    const bool replacing = detail::exists(destination);
    if (replacing) {
        const auto verdict = detail::judgeCopy(destination, manifest, context, stop);
        if (verdict.reusable)
            return destination;
        if (!verdict.trusted)
            throw BootstrapFailure::appConflict;
    }

    // Declared after the lock, so it is removed before the lock is released.
    const WorkFolder work(target);
    const std::filesystem::path appInWork =
        work.path().filename() / "Package" / "Payload" / "Applications" / name;
    const auto expansion = work.path() / "Package";
    const auto expandedApp = target / appInWork;

    throwIfCancelled(stop);
    const int expanded =
        run(context.pkgutil, {"--expand-full", package.string(), expansion.string()}, stop);
    if (expanded == contract::PkgutilStatus::outOfSpace)
        throw std::system_error(ENOSPC, std::generic_category(), "expand the package");
    if (expanded != contract::PkgutilStatus::success)
        throw BootstrapFailure::installation;
    if (!detail::matches(expandedApp, manifest, context, stop))
        throw BootstrapFailure::signature;
    throwIfCancelled(stop);

    // Relative to the locked descriptor: the move lands in the folder we hold, even if its path
    // was switched meanwhile.
    moveIntoPlace(lock.get(), appInWork, name, replacing);
    syncFolder(lock.get());
    return destination;
}

} // namespace quorvane::BootstrapSystemInstaller
