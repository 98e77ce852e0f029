#include "manifest/SystemContext.h"

#include <quorvane/BuildConfig.h>
#include <quorvane/DownloadAuthorities.h>

#include <system_error>

namespace quorvane {

namespace {

namespace fs = std::filesystem;

// A released installer carries its own tools in its folder; a build tree's installer runs the
// tools the build made. Never PATH: a stranger's codesign must not judge the package.
std::string toolBesideInstaller(std::string_view name, std::string_view builtPath) {
    if (const fs::path self = executableFolder(); !self.empty()) {
        std::error_code ec;
        const fs::path beside = self / name;
        if (fs::is_regular_file(beside, ec))
            return beside.string();
    }
    return std::string(builtPath);
}

} // namespace

fs::path executableFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

const SystemContext& SystemContext::fromBuild() {
    static const SystemContext context{
        .pkgutil = toolBesideInstaller("pkgutil", config::pkgutilPath),
        .codesign = toolBesideInstaller("codesign", config::codesignPath),
        .userApplications = {},
        .systemApplications = "/Applications",
        // None built in: the download takes the system's store.
        .downloadCAFile = {},
        .downloadCAPem = std::string(config::downloadAuthorities),
    };
    return context;
}

} // namespace quorvane
