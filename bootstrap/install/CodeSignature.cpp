#include "base/Ascii.h"
#include "base/Cancellation.h"
#include "install/BootstrapSystemInstaller.h"
#include "install/SystemInstallerDetail.h"
#include "manifest/BootstrapFailure.h"

#include <sys/stat.h>

#include "contract/CodeRequirement.h"
#include "contract/ExitStatus.h"

namespace quorvane::BootstrapSystemInstaller {
namespace detail {

std::optional<std::string> codeRequirement(const BootstrapManifest& manifest, bool pinned) {
    if (!pinned)
        return contract::productRequirement();

    if (!manifest.pinsInstalledApp())
        return std::nullopt;
    const std::string hash = lowerAscii(*manifest.installedAppCDHash);
    // Anything but 40 hex digits could change the meaning of the requirement.
    if (hash.size() != 40 || hash.find_first_not_of("0123456789abcdef") != std::string::npos)
        return std::nullopt;
    return contract::productRequirement(hash);
}

} // namespace detail

bool hasValidSignature(const std::filesystem::path& bundle, const BootstrapManifest& manifest,
                       bool pinned, const SystemContext& context, std::stop_token stop) {
    try {
        // The item itself must be a folder: a link to a good bundle is not the bundle here.
        struct stat info {};
        if (::lstat(bundle.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return false;
        const auto requirement = detail::codeRequirement(manifest, pinned);
        if (!requirement)
            return false;
        return run(context.codesign,
                   {"--verify", "--deep", "--strict", "-R=" + *requirement, bundle.string()},
                   std::move(stop)) == contract::CodesignStatus::valid;
    } catch (const CancellationError&) {
        throw;
    } catch (...) {
        return false;
    }
}

} // namespace quorvane::BootstrapSystemInstaller
