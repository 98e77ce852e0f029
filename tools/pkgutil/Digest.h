#pragma once

// Streaming digests by the names xar uses for them.

#include <optional>
#include <string>
#include <string_view>

#include "base/Digest.h"

namespace quorvane::tools {

class Digest {
public:
    // `style` is "sha1", "sha256" or "sha512"; anything else throws XarError.
    explicit Digest(std::string_view style);
    void update(std::string_view bytes);
    std::string finish(); // raw digest bytes; the object is spent afterwards

    static std::string hex(std::string_view raw) { return hexDigits(raw); }

private:
    Hasher hasher_;
};

} // namespace quorvane::tools
