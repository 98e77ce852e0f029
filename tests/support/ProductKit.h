#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace quorvane::test {

// A real build of the product, made with the vendor tools of this build: a signed app bundle, a
// signed flat package holding it, and the installer's resources for a payload URL.
struct ProductKit {
    std::filesystem::path app;       // the signed bundle (the package's source)
    std::filesystem::path package;   // "Quorvane Pro.pkg"
    std::filesystem::path resources; // Payload.json (+ PackageBase.bin with a prefix)
    std::filesystem::path tail;      // the bytes to publish at the URL
};

struct ProductKitOptions {
    std::string version = "2.4.1";
    std::string build = "2410.1";
    std::optional<std::int64_t> prefixBytes = 1 << 20;
    // The signing authority's folder (see tools/authority/make-authority); the build's own
    // when empty.
    std::filesystem::path authority;
    // The authority whose installer identity signs the package; the app's when empty.
    std::filesystem::path packageAuthority;
    // Extra bytes of filler in the app, to make the package larger.
    std::size_t fillerBytes = 2 << 20;
};

// Lays out the app with `program` as its executable, signs it, packages and signs it, and makes
// the resources in `dir`. Throws std::runtime_error when a tool fails.
ProductKit makeProductKit(const std::filesystem::path& dir, const std::string& url,
                          const std::filesystem::path& program,
                          const ProductKitOptions& options = {});

// The build's tool of that name (pkgutil, codesign, quorvane-pkgbuild, ...).
std::filesystem::path builtTool(const std::string& name);

} // namespace quorvane::test
