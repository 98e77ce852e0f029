#pragma once

// The installer's inner checks, open to tests.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "manifest/BootstrapManifest.h"
#include "manifest/SystemContext.h"

namespace quorvane::BootstrapSystemInstaller::detail {

// The code requirement handed to the signing tool; none when pinning is asked for and the
// manifest has no usable code-directory hash.
std::optional<std::string> codeRequirement(const BootstrapManifest& manifest, bool pinned);

// What a copy at the destination is to an installation: the exact build or a newer trusted one
// (reusable), and signed by the pinned team with a well-formed build (trusted: it may be
// replaced). One judgement serves both questions, so the copy is checked once for them.
struct CopyVerdict {
    bool reusable = false;
    bool trusted = false;
};
CopyVerdict judgeCopy(const std::filesystem::path& bundle, const BootstrapManifest& manifest,
                      const SystemContext& context, std::stop_token stop);

// `bundle` when it is the manifest's exact build or a newer trusted build; otherwise none.
std::optional<std::filesystem::path> reusableApp(const std::filesystem::path& bundle,
                                                 const BootstrapManifest& manifest,
                                                 const SystemContext& context,
                                                 std::stop_token stop = {});

// Whether any item, even a dangling symbolic link, stands at `path`.
bool exists(const std::filesystem::path& path) noexcept;

// Whether `bundle` carries the pinned signature with the manifest's code-directory hash and the
// manifest's version and build.
bool matches(const std::filesystem::path& bundle, const BootstrapManifest& manifest,
             const SystemContext& context, std::stop_token stop = {});

// The build string of a bundle signed by the pinned team, when it has two to four groups of
// ASCII digits separated by dots.
std::optional<std::string> trustedBuild(const std::filesystem::path& bundle,
                                        const BootstrapManifest& manifest,
                                        const SystemContext& context, std::stop_token stop = {});

bool isWellFormedBuild(std::string_view build) noexcept;

} // namespace quorvane::BootstrapSystemInstaller::detail
