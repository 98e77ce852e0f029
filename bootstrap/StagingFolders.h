#pragma once

#include <filesystem>
#include <string_view>

#include "FileIo.h"

namespace quorvane {

// The installer's staging folders: "quorvane-installer-" + an upper-case UUID in the temporary
// directory. The attempt that owns one holds an exclusive flock on it, so a folder whose lock
// is free belongs to an installer that has gone (killed, or crashed).
inline constexpr std::string_view stagingFolderPrefix = "quorvane-installer-";

// Opens `folder` (not through a link) and takes its lock without waiting. Throws the platform
// error when the folder cannot be opened or is locked already.
FileDescriptor lockStagingFolder(const std::filesystem::path& folder);

// Removes this user's staging folders in `temporaryDirectory` whose lock is free. Never throws:
// what cannot be removed stays.
void removeAbandonedStagingFolders(const std::filesystem::path& temporaryDirectory);

} // namespace quorvane
