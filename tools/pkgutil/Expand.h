#pragma once

// pkgutil --expand-full: the package's members into a new folder, with each component's
// Payload and Scripts archives expanded in place of the archive files.

#include <cstdint>
#include <filesystem>

#include "XarArchive.h"

namespace quorvane::tools {

struct ExpansionLimits {
    std::uint64_t maxBytes;   // everything written, all members together
    std::uint64_t maxEntries; // files, folders and links
};

// A budget that grows with the package: a payload may expand well beyond its compressed size,
// but not without end.
ExpansionLimits expansionLimitsFor(std::uint64_t packageSize);

// Creates `dir` (which must not exist) and expands into it. On any failure the folder is removed
// again and the error (XarError, UnsafeEntry or std::system_error) passes up.
void expandFull(const XarArchive& archive, const std::filesystem::path& dir);

} // namespace quorvane::tools
