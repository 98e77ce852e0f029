#include "base/Digest.h"

#include <algorithm>
#include <stdexcept>

#include <fcntl.h>
#include <openssl/evp.h>

#include "base/Cancellation.h"
#include "base/FileIo.h"

namespace quorvane {

void Hasher::Free::operator()(evp_md_ctx_st* ctx) const noexcept {
    EVP_MD_CTX_free(ctx);
}

Hasher::Hasher(Algorithm algorithm) : ctx_(EVP_MD_CTX_new()) {
    const EVP_MD* md = algorithm == Algorithm::sha1     ? EVP_sha1()
                       : algorithm == Algorithm::sha512 ? EVP_sha512()
                                                        : EVP_sha256();
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), md, nullptr) != 1)
        throw std::runtime_error("the digest is not available");
}

void Hasher::update(std::span<const char> bytes) {
    if (!bytes.empty() && EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) != 1)
        throw std::runtime_error("the digest failed");
}

void Hasher::update(std::span<const unsigned char> bytes) {
    update(std::span(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string Hasher::finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), digest, &length) != 1)
        throw std::runtime_error("the digest failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string hexDigits(std::string_view raw) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * raw.size());
    for (const unsigned char c : raw) {
        text.push_back(digits[c >> 4]);
        text.push_back(digits[c & 0xF]);
    }
    return text;
}

std::uint64_t hashFile(Hasher& hasher, int fd, const std::stop_token& stop,
                       std::uint64_t maxBytes) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const ChunkBuffer buffer;
    const std::uint64_t stopAt =
        maxBytes == std::numeric_limits<std::uint64_t>::max() ? maxBytes : maxBytes + 1;
    std::uint64_t total = 0;
    while (total < stopAt) {
        throwIfCancelled(stop);
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.span().size(), stopAt - total));
        const std::size_t n = readSome(fd, buffer.span().first(want));
        if (n == 0)
            break;
        hasher.update(std::span<const char>(buffer.span().data(), n));
        total += n;
    }
    return total;
}

std::string sha256Hex(int fd, const std::stop_token& stop) {
    Hasher hasher;
    hashFile(hasher, fd, stop);
    return hexDigits(hasher.finish());
}

} // namespace quorvane
