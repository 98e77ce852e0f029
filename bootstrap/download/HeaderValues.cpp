#include "download/HeaderValues.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace quorvane::http {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::optional<ContentRange> parseContentRange(std::string_view value) {
    if (!startsWithNoCase(value, "bytes "))
        return std::nullopt;
    value = trim(value.substr(6));
    const auto dash = value.find('-');
    const auto slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return std::nullopt;
    const auto first = parseNumber(value.substr(0, dash));
    const auto last = parseNumber(value.substr(dash + 1, slash - dash - 1));
    const auto complete = parseNumber(value.substr(slash + 1));
    if (!first || !last || !complete || *first > *last || *last >= *complete)
        return std::nullopt;
    return ContentRange{*first, *last, *complete};
}

} // namespace quorvane::http
