#pragma once

#include <filesystem>
#include <stop_token>

#include "manifest/BootstrapManifest.h"
#include "manifest/SystemContext.h"

namespace quorvane::BootstrapVerification {

// Joins the carried prefix and the downloaded tail in place and moves the result to `at`
// (which must not exist). The manifest must already be valid. Throws BootstrapFailure for its
// own findings, CancellationError when `stop` is requested at a chunk boundary, and platform
// errors (std::system_error) unchanged.
void assemble(const std::filesystem::path& prefix, const std::filesystem::path& tail,
              const std::filesystem::path& at, const BootstrapManifest& manifest,
              std::stop_token stop = {});

// Checks the package's size, SHA-256 digest and package signature. Never modifies the package.
void verify(const std::filesystem::path& package, const BootstrapManifest& manifest,
            std::stop_token stop = {}, const SystemContext& context = SystemContext::fromBuild());

} // namespace quorvane::BootstrapVerification
