#pragma once

// Writes a flat package: the xar header, the zlib-compressed table of contents and the heap.
// Signed, the heap starts with the table's SHA-1 checksum, the RSA signature over it and a
// detached CMS signature over the same checksum, with the signer's chain in the table.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "OpenSslHandles.h"

namespace quorvane::tools {

struct PackageMember {
    std::string name;
    // Small members are zlib-compressed in the heap; a large one is copied from `file` as is.
    std::string contents;
    std::optional<std::filesystem::path> file;
    std::uint32_t mode = 0644;
};

struct SigningIdentity {
    EvpPkeyPtr key;
    std::vector<X509Ptr> chain; // the signer's certificate first
};

// Writes next to `out` and renames into place, so `out` is either absent or complete.
void writeFlatPackage(const std::filesystem::path& out, const std::vector<PackageMember>& members,
                      const SigningIdentity* signer);

} // namespace quorvane::tools
