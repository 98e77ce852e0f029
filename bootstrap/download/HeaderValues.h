#pragma once

// The few HTTP header values the download reads, parsed strictly.

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvane::http {

// Without leading blanks and trailing blanks or line ends.
std::string_view trim(std::string_view text);
bool startsWithNoCase(std::string_view text, std::string_view prefix);
// A decimal number and nothing else.
std::optional<std::uint64_t> parseNumber(std::string_view text);

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t complete = 0;
};
// "bytes first-last/complete"; nullopt for anything else, "*" for the length included.
std::optional<ContentRange> parseContentRange(std::string_view value);

} // namespace quorvane::http
