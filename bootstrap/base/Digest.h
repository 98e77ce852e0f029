#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace quorvane {

// A digest over bytes given in pieces. Throws std::runtime_error when the library fails.
class Hasher {
public:
    enum class Algorithm { sha1, sha256, sha512 };
    explicit Hasher(Algorithm algorithm = Algorithm::sha256);
    void update(std::span<const char> bytes);
    void update(std::span<const unsigned char> bytes);
    // The raw digest; the hasher is spent afterwards.
    std::string finish();

private:
    struct Free {
        void operator()(evp_md_ctx_st* ctx) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

// `raw` as lower-case hex digits, two a byte.
std::string hexDigits(std::string_view raw);

// Feeds `hasher` what `fd` still has to read, in 1 MiB chunks, and returns the bytes read. Stops
// after `maxBytes` + 1 bytes, so that a file that grows while it is read shows as too long
// instead of being read without end. Throws CancellationError before a chunk once `stop` is
// requested, and the platform error when a read fails.
std::uint64_t hashFile(Hasher& hasher, int fd, const std::stop_token& stop = {},
                       std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max());

// SHA-256 of everything from the file's current position to its end, as 64 lower-case hex
// digits, read in 1 MiB chunks. Throws as hashFile does.
std::string sha256Hex(int fd, const std::stop_token& stop);

} // namespace quorvane
