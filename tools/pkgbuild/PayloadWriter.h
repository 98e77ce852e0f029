#pragma once

// The Payload of a component package: a gzip-compressed odc cpio archive of a folder, with the
// install location's folders in front, so that the package installs relative to "/".

#include <cstdint>
#include <filesystem>

namespace quorvane::tools {

struct PayloadSummary {
    std::uint64_t files = 0;      // entries of every kind
    std::uint64_t totalBytes = 0; // regular files' contents
};

// Writes the archive to `fd` (which stays open). `installLocation` is absolute, e.g.
// "/Applications"; the folder's contents appear under "./Applications/".
PayloadSummary writePayload(const std::filesystem::path& root,
                            const std::filesystem::path& installLocation, int fd);

} // namespace quorvane::tools
