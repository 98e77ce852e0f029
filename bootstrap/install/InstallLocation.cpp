#include "base/Cancellation.h"
#include "base/Diagnostics.h"
#include "base/InfoPlist.h"
#include "base/NumericCompare.h"
#include "desktop/UserFolders.h"
#include "install/BootstrapSystemInstaller.h"
#include "install/SystemInstallerDetail.h"
#include "manifest/BootstrapFailure.h"

#include <sys/stat.h>

#include <quorvane/BuildConfig.h>

namespace quorvane::BootstrapSystemInstaller {
namespace {

std::filesystem::path bundleIn(const std::filesystem::path& folder) {
    return folder / config::bundleName;
}

} // namespace

namespace detail {

bool exists(const std::filesystem::path& path) noexcept {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool isWellFormedBuild(std::string_view build) noexcept {
    int groups = 0;
    std::size_t i = 0;
    while (true) {
        const std::size_t start = i;
        while (i < build.size() && build[i] >= '0' && build[i] <= '9')
            ++i;
        if (i == start)
            return false;
        ++groups;
        if (i == build.size())
            return groups >= 2 && groups <= 4;
        if (build[i] != '.' || groups == 4)
            return false;
        ++i;
    }
}

bool matches(const std::filesystem::path& bundle, const BootstrapManifest& manifest,
             const SystemContext& context, std::stop_token stop) {
    if (!hasValidSignature(bundle, manifest, true, context, std::move(stop)))
        return false;
    const auto info = InfoPlist::read(bundle);
    return info && info->string("CFBundleVersion") == manifest.build &&
           info->string("CFBundleShortVersionString") == manifest.version;
}

std::optional<std::string> trustedBuild(const std::filesystem::path& bundle,
                                        const BootstrapManifest& manifest,
                                        const SystemContext& context, std::stop_token stop) {
    if (!hasValidSignature(bundle, manifest, false, context, std::move(stop)))
        return std::nullopt;
    const auto info = InfoPlist::read(bundle);
    if (!info)
        return std::nullopt;
    auto build = info->string("CFBundleVersion");
    if (!build || !isWellFormedBuild(*build))
        return std::nullopt;
    return build;
}

CopyVerdict judgeCopy(const std::filesystem::path& bundle, const BootstrapManifest& manifest,
                      const SystemContext& context, std::stop_token stop) {
    bool exact = false;
    try {
        exact = matches(bundle, manifest, context, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (...) {
        // Allocation failures end up here; the unpinned check below decides.
    }
    if (exact) {
        diagnostics::record("copy " + bundle.string() + ": the exact build " + manifest.build);
        return {.reusable = true, .trusted = true};
    }
    const auto build = trustedBuild(bundle, manifest, context, stop);
    const bool newer = build && compareNumerically(*build, manifest.build) > 0;
    diagnostics::record("copy " + bundle.string() + ": " +
                        (!build  ? std::string("not a copy of the product signed by its team")
                         : newer ? "build " + *build + ", newer than " + manifest.build
                                 : "build " + *build + ", not newer than " + manifest.build));
    return {.reusable = newer, .trusted = build.has_value()};
}

std::optional<std::filesystem::path> reusableApp(const std::filesystem::path& bundle,
                                                 const BootstrapManifest& manifest,
                                                 const SystemContext& context,
                                                 std::stop_token stop) {
    try {
        if (!detail::exists(bundle)) {
            diagnostics::record("copy " + bundle.string() + ": none there");
            return std::nullopt;
        }
        if (judgeCopy(bundle, manifest, context, std::move(stop)).reusable)
            return bundle;
    } catch (const CancellationError&) {
        throw;
    } catch (...) {
        // Allocation failures end up here; judging never throws.
    }
    return std::nullopt;
}

} // namespace detail

std::filesystem::path applicationsDirectory(const BootstrapManifest&,
                                            const SystemContext& context) {
    if (!context.userApplications.empty())
        return context.userApplications;
    try {
        const auto home = desktop::homeDirectory();
        if (home.empty())
            return {};
        return home / "Applications";
    } catch (...) {
        return {};
    }
}

std::optional<std::filesystem::path>
reusableApp(const BootstrapManifest& manifest, const SystemContext& context, std::stop_token stop) {
    try {
        const auto user = applicationsDirectory(manifest, context);
        if (!user.empty()) {
            const auto candidate = bundleIn(user);
            if (auto found = detail::reusableApp(candidate, manifest, context, stop)) {
                diagnostics::record("reuse: opening " + found->string());
                return found;
            }
            // Whatever stands in the user's folder shadows the system-wide copy.
            if (detail::exists(candidate))
                return std::nullopt;
        }
        if (context.systemApplications.empty())
            return std::nullopt;
        auto found =
            detail::reusableApp(bundleIn(context.systemApplications), manifest, context, stop);
        if (found)
            diagnostics::record("reuse: opening " + found->string());
        return found;
    } catch (const CancellationError&) {
        throw;
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace quorvane::BootstrapSystemInstaller
