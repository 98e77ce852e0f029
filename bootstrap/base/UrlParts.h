#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

// The parts of a URL the installer judges, each present or absent, as written in the text.
struct UrlParts {
    std::optional<std::string> scheme;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host; // an empty host counts as none
    std::optional<std::string> fragment;

    // Absent when the text is not a URL (an empty text is not one).
    static std::optional<UrlParts> parse(std::string_view text);
};

} // namespace quorvane
