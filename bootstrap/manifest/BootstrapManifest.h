#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvane {

// Thrown when a manifest document is not of the required form.
struct ManifestDecodingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The installer's build-time description of the one package it installs. A value: copies are
// independent and nothing changes it after decoding.
struct BootstrapManifest {
    std::string version;
    std::string build;
    std::string payloadURL;
    std::int64_t payloadBytes = 0;
    std::optional<std::int64_t> embeddedPackageBytes;
    std::optional<std::string> installedAppCDHash;
    std::string payloadSHA256;
    bool localTesting = false;
    bool allowUnsignedTestPayload = false;

    // Documents larger than this, or nested deeper than maxDepth, are refused unread.
    static constexpr std::size_t maxDocumentBytes = 1 << 20;
    static constexpr int maxDepth = 32;

    // Strict decoding of the JSON form; checks the form only, not the values. Throws
    // ManifestDecodingError (or nlohmann::json's parse error) on any fault.
    static BootstrapManifest decode(std::string_view json);
    // The JSON form, keys in declaration order, absent optionals left out.
    std::string encode() const;
    // Throws BootstrapFailure::configuration at the first rule that fails.
    void validate() const;
    // The bytes the installer downloads: the package less what it carries (0 where the values
    // do not add up; validate() refuses such a manifest).
    std::uint64_t tailBytes() const noexcept;
    // Whether the manifest pins the app it installs by its code-directory hash. The form lets a
    // manifest leave it out, so validate() accepts one without; every installation needs it, so
    // the installer refuses such a manifest when it starts.
    bool pinsInstalledApp() const noexcept { return installedAppCDHash.has_value(); }

    friend bool operator==(const BootstrapManifest&, const BootstrapManifest&) = default;
};

} // namespace quorvane
