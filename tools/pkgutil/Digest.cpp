#include "Digest.h"

#include "XarToc.h"

namespace quorvane::tools {

Digest::Digest(std::string_view style) : ctx_(EVP_MD_CTX_new()) {
    const EVP_MD* md = style == "sha1"     ? EVP_sha1()
                       : style == "sha256" ? EVP_sha256()
                       : style == "sha512" ? EVP_sha512()
                                           : nullptr;
    if (!md)
        throw XarError("unsupported checksum style " + std::string(style));
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), md, nullptr) != 1)
        throw XarError("cannot start a digest");
}

void Digest::update(std::string_view bytes) {
    if (!bytes.empty() && EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) != 1)
        throw XarError("digest failed");
}

std::string Digest::finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out, &length) != 1)
        throw XarError("digest failed");
    return std::string(reinterpret_cast<char*>(out), length);
}

std::string Digest::hex(std::string_view raw) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(raw.size() * 2);
    for (unsigned char c : raw) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

} // namespace quorvane::tools
