#include "SystemContext.h"

#include "DesktopEntry.h"

#include <quorvane/BuildConfig.h>

#include <array>
#include <system_error>

namespace quorvane {

namespace {

namespace fs = std::filesystem;

// A released installer carries its own tools in its folder; a build tree's installer runs the
// tools the build made. Never PATH: a stranger's codesign must not judge the package.
std::string toolBesideInstaller(std::string_view name, std::string_view builtPath) {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path beside = self.parent_path() / name;
        if (fs::is_regular_file(beside, ec))
            return beside.string();
    }
    return std::string(builtPath);
}

// The system's bundle lives in a different place on each distribution.
std::string systemCABundle() {
    static constexpr std::array<std::string_view, 4> wellKnown = {
        "/etc/ssl/certs/ca-certificates.crt",                // Debian, Ubuntu, Arch
        "/etc/pki/tls/certs/ca-bundle.crt",                  // Fedora, RHEL
        "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", // Fedora, RHEL
        "/etc/ssl/ca-bundle.pem",                            // openSUSE
    };
    for (const auto path : wellKnown) {
        std::error_code ec;
        if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) > 0 && !ec)
            return std::string(path);
    }
    // Leaves the choice to libcurl's own default.
    return {};
}

} // namespace

const SystemContext& SystemContext::fromBuild() {
    static const SystemContext context{
        .pkgutil = toolBesideInstaller("pkgutil", config::pkgutilPath),
        .codesign = toolBesideInstaller("codesign", config::codesignPath),
        .userApplications = {},
        .systemApplications = "/Applications",
        .downloadCAFile =
            config::downloadCAFile.empty() ? systemCABundle() : std::string(config::downloadCAFile),
        .desktopDataHome = desktop::dataHome(),
    };
    return context;
}

} // namespace quorvane
