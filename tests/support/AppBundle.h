#pragma once

#include <filesystem>
#include <string>

namespace quorvane::test {

struct BundleInfo {
    std::string identifier;
    std::string version;
    std::string build;
    std::string executable = "Quorvane Pro";
    std::string iconFile = "Quorvane Pro.svg"; // written into Contents/Resources as an SVG
};

// Lays out an app bundle whose executable is a copy of `program` (a real binary, so that the
// running process's image lies inside the bundle) and whose Info.plist is an XML plist.
void makeAppBundle(const std::filesystem::path& bundle, const BundleInfo& info,
                   const std::filesystem::path& program);

// Ends every process whose executable lies inside `bundle`; returns how many there were.
int stopAppsIn(const std::filesystem::path& bundle);

} // namespace quorvane::test
