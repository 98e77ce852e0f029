#pragma once

#include <filesystem>
#include <string>

namespace quorvane::tools {

struct BundleVersion {
    std::string version; // CFBundleShortVersionString
    std::string build;   // CFBundleVersion
};

// Reads Contents/Info.plist of an app bundle (XML or binary). Throws std::runtime_error when
// it is missing, malformed, or lacks either key as a non-empty string.
BundleVersion readBundleVersion(const std::filesystem::path& app);

} // namespace quorvane::tools
