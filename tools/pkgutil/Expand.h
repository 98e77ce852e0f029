#pragma once

// pkgutil --expand-full: the package's members into a new folder, with each component's
// Payload and Scripts archives expanded in place of the archive files.

#include <cstdint>
#include <filesystem>

#include "XarArchive.h"

namespace quorvane::tools {

struct ExpansionLimits {
    std::uint64_t maxBytes;       // every byte decoded or inflated, all members together
    std::uint64_t maxEntries;     // files, folders and links
    std::uint64_t maxBookkeeping; // bytes kept per entry until the end
    std::uint64_t maxComponents;  // components of every path walked, all entries together
};

// What an expansion did, also when it was refused.
struct ExpansionStats {
    std::uint64_t inflatedBytes = 0; // members' decoded bytes and payloads' inflated bytes
    std::uint64_t entries = 0;
    std::uint64_t components = 0; // charged to the path budget
};

// Budgets that grow with the package: a payload may expand well beyond its compressed size, and
// its paths may run deep, but neither without end.
ExpansionLimits expansionLimitsFor(std::uint64_t packageSize);

// Creates `dir` (which must not exist) and expands into it. On any failure the folder is removed
// again and the error (XarError, PayloadError, UnsafeEntry or std::system_error) passes up.
void expandFull(const XarArchive& archive, const std::filesystem::path& dir);
void expandFull(const XarArchive& archive, const std::filesystem::path& dir,
                const ExpansionLimits& limits, ExpansionStats& stats);

} // namespace quorvane::tools
