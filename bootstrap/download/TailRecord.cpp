#include "download/TailRecord.h"

#include <span>
#include <vector>

#include <fcntl.h>
#include <nlohmann/json.hpp>

#include "base/FileIo.h"
#include "base/Rename.h"

namespace quorvane {
namespace {

constexpr std::size_t recordLimit = 64 * 1024;

} // namespace

TailRecord TailRecord::of(const BootstrapManifest& manifest, std::string validator) {
    return {manifest.payloadURL, manifest.payloadSHA256, manifest.payloadBytes,
            manifest.embeddedPackageBytes.value_or(0), std::move(validator)};
}

bool TailRecord::sameSource(const BootstrapManifest& manifest) const {
    const TailRecord other = of(manifest, {});
    return url == other.url && sha256 == other.sha256 && payloadBytes == other.payloadBytes &&
           embeddedBytes == other.embeddedBytes;
}

// The validator is kept as its byte values: a header may hold bytes of 0x80 and above (obs-text)
// that are not UTF-8, which JSON text cannot carry, and it must go back to the server exactly.
std::optional<TailRecord> TailRecord::read(const std::filesystem::path& path) {
    try {
        const FileDescriptor file = openPlainFile(AT_FDCWD, path, O_RDONLY);
        std::string text(recordLimit, '\0');
        text.resize(readAt(file.get(), std::span(text.data(), text.size()), 0));
        const auto json = nlohmann::json::parse(text);
        const auto validator = json.at("validatorBytes").get<std::vector<std::uint8_t>>();
        TailRecord record{json.at("url").get<std::string>(), json.at("sha256").get<std::string>(),
                          json.at("payloadBytes").get<std::int64_t>(),
                          json.at("embeddedBytes").get<std::int64_t>(),
                          std::string(validator.begin(), validator.end())};
        if (record.validator.empty())
            return std::nullopt;
        return record;
    } catch (...) {
        return std::nullopt; // a torn or foreign record only means no resumption
    }
}

void TailRecord::write(const std::filesystem::path& path) const {
    const nlohmann::json json = {
        {"url", url},
        {"sha256", sha256},
        {"payloadBytes", payloadBytes},
        {"embeddedBytes", embeddedBytes},
        {"validatorBytes", std::vector<std::uint8_t>(validator.begin(), validator.end())}};
    const FileDescriptor folder = openFile(path.parent_path(), O_RDONLY | O_DIRECTORY);
    replaceFile(folder.get(), path.filename().string(), json.dump(), 0600);
}

} // namespace quorvane
