#include "base/Utf8Decoder.h"

namespace quorvane {
namespace {
constexpr std::string_view replacement = "\xEF\xBF\xBD";
}

void Utf8Decoder::reset() noexcept {
    pending_.clear();
    needed_ = 0;
    lower_ = 0x80;
    upper_ = 0xBF;
}

void Utf8Decoder::decode(std::string_view bytes, std::string& out) {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (needed_ == 0) {
            ++i;
            if (b <= 0x7F) {
                out.push_back(static_cast<char>(b));
                continue;
            }
            if (b >= 0xC2 && b <= 0xDF) {
                needed_ = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
                if (b == 0xE0)
                    lower_ = 0xA0;
                if (b == 0xED) // no surrogates
                    upper_ = 0x9F;
                needed_ = 2;
            } else if (b >= 0xF0 && b <= 0xF4) {
                if (b == 0xF0)
                    lower_ = 0x90;
                if (b == 0xF4) // nothing above U+10FFFF
                    upper_ = 0x8F;
                needed_ = 3;
            } else {
                out.append(replacement);
                continue;
            }
            pending_.push_back(static_cast<char>(b));
            continue;
        }
        if (b < lower_ || b > upper_) {
            // The sequence so far is one replacement; this byte starts afresh, unconsumed.
            reset();
            out.append(replacement);
            continue;
        }
        ++i;
        lower_ = 0x80;
        upper_ = 0xBF;
        pending_.push_back(static_cast<char>(b));
        if (static_cast<int>(pending_.size()) == needed_ + 1) {
            out.append(pending_);
            reset();
        }
    }
}

void Utf8Decoder::finish(std::string& out) {
    if (needed_ != 0)
        out.append(replacement);
    reset();
}

} // namespace quorvane
