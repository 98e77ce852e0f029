#pragma once

// The installer's resources for one package: the manifest (Payload.json), the prefix the
// installer carries (PackageBase.bin) and the tail the server publishes (PackageTail.bin).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "manifest/BootstrapManifest.h"

namespace quorvane::tools {

inline constexpr const char* manifestFileName = "Payload.json";
inline constexpr const char* prefixFileName = "PackageBase.bin";
inline constexpr const char* tailFileName = "PackageTail.bin";

struct ResourceRequest {
    std::filesystem::path package;
    std::filesystem::path app; // the signed app bundle the package carries
    std::string payloadURL;
    std::optional<std::int64_t> prefixBytes; // none: the installer downloads the whole package
    std::filesystem::path output;
};

// Verifies the app's signature and that the installer's requirement holds, reads its version,
// splits and hashes the package in one streaming pass and writes the three files into `output`
// (created if needed); a run that fails leaves no partial files behind. Returns the manifest
// written.
BootstrapManifest makeResources(const ResourceRequest& request);

} // namespace quorvane::tools
