#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "manifest/BootstrapManifest.h"

namespace quorvane {

// Where a kept tail came from. A kept tail continues only for the same payload, and only with
// the validator that the server sent with its first bytes.
struct TailRecord {
    std::string url;
    std::string sha256;
    std::int64_t payloadBytes = 0;
    std::int64_t embeddedBytes = 0;
    std::string validator; // a strong ETag, else a Last-Modified date: any bytes, kept exactly

    static TailRecord of(const BootstrapManifest& manifest, std::string validator);
    bool sameSource(const BootstrapManifest& manifest) const;

    // nullopt for a missing, torn or foreign record, or one without a validator.
    static std::optional<TailRecord> read(const std::filesystem::path& path);
    // Replaces the record at `path` in one step: a killed installer leaves the old or the new.
    void write(const std::filesystem::path& path) const;
};

} // namespace quorvane
