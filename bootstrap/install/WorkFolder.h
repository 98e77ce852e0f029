#pragma once

#include <filesystem>
#include <string_view>

#include "base/FileIo.h"

namespace quorvane {

inline constexpr std::string_view workFolderPrefix = ".quorvane-";

// Whether `name` has the form of an installer work folder: the prefix and an upper-case UUID.
bool isWorkFolderName(std::string_view name) noexcept;

// Removes the work folders that earlier installers left in `folder` when they were killed.
// Only safe while holding the folder's install lock.
void removeStaleWorkFolders(const std::filesystem::path& folder) noexcept;

// A private work folder ".quorvane-<UUID>" (mode 0700) made inside `parent`, removed with
// everything in it when the object goes away.
class WorkFolder {
public:
    // Throws std::system_error when the folder cannot be made.
    explicit WorkFolder(const std::filesystem::path& parent);
    ~WorkFolder() { removeTree(path_); }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace quorvane
