#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/ToolRunner.h"
#include "manifest/BootstrapManifest.h"
#include "manifest/SystemContext.h"

namespace quorvane::BootstrapSystemInstaller {

// Whether `bundle` is itself a directory (not a link) whose code signature satisfies the
// product's requirement, pinned to the manifest's code-directory hash when `pinned`. Throws
// nothing but CancellationError, when `stop` is requested while the signing tool runs.
bool hasValidSignature(const std::filesystem::path& bundle, const BootstrapManifest& manifest,
                       bool pinned, const SystemContext& context = SystemContext::fromBuild(),
                       std::stop_token stop = {});

// The current user's Applications folder (home folder from the user database).
std::filesystem::path
applicationsDirectory(const BootstrapManifest& manifest,
                      const SystemContext& context = SystemContext::fromBuild());

// An installed copy that may be opened unchanged: the manifest's exact build, or a newer
// build signed by the pinned team. Throws nothing but CancellationError.
std::optional<std::filesystem::path>
reusableApp(const BootstrapManifest& manifest,
            const SystemContext& context = SystemContext::fromBuild(), std::stop_token stop = {});

// Installs the verified package's app into `target` under the folder lock and returns the
// destination app. Throws BootstrapFailure, CancellationError or platform errors.
std::filesystem::path install(const std::filesystem::path& package,
                              const BootstrapManifest& manifest,
                              const std::filesystem::path& target, std::stop_token stop = {},
                              const SystemContext& context = SystemContext::fromBuild());

} // namespace quorvane::BootstrapSystemInstaller
