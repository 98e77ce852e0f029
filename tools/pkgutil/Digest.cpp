#include "Digest.h"

#include <stdexcept>

#include "XarToc.h"

namespace quorvane::tools {
namespace {

Hasher::Algorithm algorithm(std::string_view style) {
    if (style == "sha1")
        return Hasher::Algorithm::sha1;
    if (style == "sha256")
        return Hasher::Algorithm::sha256;
    if (style == "sha512")
        return Hasher::Algorithm::sha512;
    throw XarError("unsupported checksum style " + std::string(style));
}

} // namespace

Digest::Digest(std::string_view style) try : hasher_(algorithm(style)) {
} catch (const XarError&) {
    throw;
} catch (const std::runtime_error&) {
    throw XarError("cannot start a digest");
}

void Digest::update(std::string_view bytes) {
    try {
        hasher_.update(std::span(bytes.data(), bytes.size()));
    } catch (const std::runtime_error&) {
        throw XarError("digest failed");
    }
}

std::string Digest::finish() {
    try {
        return hasher_.finish();
    } catch (const std::runtime_error&) {
        throw XarError("digest failed");
    }
}

} // namespace quorvane::tools
