#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "base/FileIo.h"

namespace quorvane {

// The installer's staging folders: "quorvane-installer-" + an upper-case UUID in the temporary
// directory. The attempt that owns one holds an exclusive flock on it, so a folder whose lock
// is free belongs to an installer that has gone (killed, or crashed).
inline constexpr std::string_view stagingFolderPrefix = "quorvane-installer-";

// Opens `folder` (not through a link) and takes its lock without waiting. Throws the platform
// error when the folder cannot be opened or is locked already.
FileDescriptor lockStagingFolder(const std::filesystem::path& folder);

struct StagingFolder {
    std::filesystem::path path;
    FileDescriptor lock; // held for as long as the attempt uses the folder
};

// Makes a new staging folder in `temporaryDirectory`, owner-only whatever the umask, and takes its
// lock. A sweep of another installer may land between the folder's creation and its lock and
// remove it: then the folder is made again under a new name, so the folder returned is always
// the locked one at its path. `betweenCreateAndLock` lets tests land in that gap.
StagingFolder createStagingFolder(
    const std::filesystem::path& temporaryDirectory,
    const std::function<void(const std::filesystem::path&)>& betweenCreateAndLock = {});

// Removes this user's staging folders in `temporaryDirectory` whose lock is free. Never throws:
// what cannot be removed stays.
void removeAbandonedStagingFolders(const std::filesystem::path& temporaryDirectory);

// The same sweep, except that the first abandoned folder for which `adopt` answers true (asked
// while its lock is held) is kept, still locked, and returned: a killed installer's work that
// this run can continue.
std::optional<StagingFolder>
removeAbandonedStagingFolders(const std::filesystem::path& temporaryDirectory,
                              const std::function<bool(const std::filesystem::path&)>& adopt);

} // namespace quorvane
