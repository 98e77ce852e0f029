#include "base/Digest.h"

#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <openssl/evp.h>

#include "base/Cancellation.h"
#include "base/FileIo.h"

namespace quorvane {
namespace {
struct FreeDigest {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
} // namespace

std::string sha256Hex(int fd, const std::stop_token& stop) {
    const std::unique_ptr<EVP_MD_CTX, FreeDigest> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    const ChunkBuffer buffer;
    for (;;) {
        throwIfCancelled(stop);
        const std::size_t n = readSome(fd, buffer.span());
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), buffer.span().data(), n) != 1)
            throw std::runtime_error("SHA-256 failed");
    }

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        throw std::runtime_error("SHA-256 failed");
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0xF]);
    }
    return text;
}

} // namespace quorvane
