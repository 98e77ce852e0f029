#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

// A bundle's Contents/Info.plist (xml or binary) whose top level is a dictionary.
class InfoPlist {
public:
    // Real Info.plist files are a few kilobytes; anything larger is not one.
    static constexpr std::size_t maxBytes = 1 << 20;

    // None when the file is missing, not a regular file, too large, unreadable, not a property
    // list, or not a dictionary at the top level.
    static std::optional<InfoPlist> read(const std::filesystem::path& bundle);
    static std::optional<InfoPlist> parse(std::string_view data);

    // The value of a top-level key when it is a string; none when missing or of another type.
    std::optional<std::string> string(const std::string& key) const;

private:
    explicit InfoPlist(std::shared_ptr<void> root) : root_(std::move(root)) {}
    std::shared_ptr<void> root_;
};

} // namespace quorvane
