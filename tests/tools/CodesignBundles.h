#pragma once

// Bundles for the signing tools' tests: written into temporary folders, signed by the built
// codesign tool in a child process.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::test {

std::filesystem::path toolPath(std::string_view name);
std::filesystem::path authorityFile(std::string_view name);

// A private key and its certificate, with the chain that travels with the signature.
struct SigningFiles {
    std::filesystem::path key, cert, chain;
    // The build authority's Developer ID application identity.
    static SigningFiles application();
};

// An app bundle with an executable, a resource, Info.plist and a framework (versioned, with
// Versions/Current and a top-level link); the framework is signed on its own, the app is not.
void writeApp(const std::filesystem::path& app, std::string_view version = "1.2",
              std::string_view build = "42.1");
std::filesystem::path frameworkCode(const std::filesystem::path& app);

int signBundle(const std::filesystem::path& bundle, const SigningFiles& identity,
               std::string_view identifier, std::string* output = nullptr);
// writeApp, then signs framework and app with `identity`.
void makeSignedApp(const std::filesystem::path& app,
                   const SigningFiles& identity = SigningFiles::application());
std::string bundleCdHash(const std::filesystem::path& bundle);

// The installer's own requirement text, pinned to `cdhash` when one is given.
std::string installerRequirement(std::optional<std::string_view> cdhash);

// codesign --verify with `flags`, the requirement (as -R=...) and the bundle.
int verifyBundle(const std::filesystem::path& bundle, const std::optional<std::string>& requirement,
                 const std::vector<std::string>& flags = {"--deep", "--strict"},
                 std::string* output = nullptr);

} // namespace quorvane::test
