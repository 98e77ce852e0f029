#pragma once

// The xar container: its fixed header and its table of contents (zlib-compressed XML), read
// strictly and with bounds, since both come straight from the package under test.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::tools {

class XarError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t xarMagic = 0x78617221; // "xar!"
inline constexpr std::size_t xarMinHeaderSize = 28;
inline constexpr std::size_t xarMaxHeaderSize = 4096;
inline constexpr std::uint64_t xarMaxTocSize = 16u << 20;

struct XarHeader {
    std::uint16_t size = 0;
    std::uint64_t tocCompressed = 0;
    std::uint64_t tocUncompressed = 0;
    std::string checksumStyle; // "sha1", "sha256", "sha512", or "none"
};

struct XarDigest {
    std::string style; // as in the table, lower case
    std::string hex;   // lower case
};

struct XarData {
    std::uint64_t offset = 0; // from the start of the heap
    std::uint64_t length = 0; // stored bytes
    std::uint64_t size = 0;   // bytes after decoding
    std::string encoding;     // "application/octet-stream", "application/x-gzip", ...
    std::optional<XarDigest> archived;
    std::optional<XarDigest> extracted;
};

struct XarFile {
    std::string name; // one path component, checked
    std::string type; // "file" or "directory"
    std::optional<std::uint32_t> mode;
    std::optional<XarData> data;
    std::vector<XarFile> children;
};

struct XarSignature {
    std::string style; // "RSA" or "CMS"
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::vector<std::string> certificates; // DER, in the order of the table
};

struct XarToc {
    std::optional<XarDigest> checksum; // style only; hex unused
    std::uint64_t checksumOffset = 0;
    std::uint64_t checksumSize = 0;
    std::optional<XarSignature> signature;  // <signature>
    std::optional<XarSignature> xSignature; // <x-signature>
    std::vector<XarFile> files;
};

// Reads the fixed header from the first bytes of the file (at least xarMinHeaderSize).
XarHeader parseXarHeader(std::string_view bytes);
// Inflates the compressed table, which must inflate to exactly `expectedSize` bytes.
std::string inflateToc(std::string_view compressed, std::uint64_t expectedSize);
// Builds the model from the table's XML text.
XarToc parseToc(std::string_view xml);

// Digest length in bytes for a checksum style, or 0 when the style is not accepted.
std::size_t digestLength(std::string_view style);

} // namespace quorvane::tools
