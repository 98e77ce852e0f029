#pragma once

// The code directory: what a signature covers. Its byte form is canonical, so that one bundle
// state has exactly one code directory and its hash (the cdhash) names that state:
//
//   quorvane code directory 1\n
//   identifier <n>:<bytes>\n
//   team <n>:<bytes>\n
//   hash sha256\n
//   entries <count>\n
//   then one line per entry, sorted by path (bytewise, no duplicates):
//   file <n>:<path> <x|-> <size> <sha256, lower hex>\n
//   link <n>:<path> <n>:<target>\n
//   code <n>:<path> <cdhash, lower hex>\n      nested code, signed on its own
//
// Lengths are decimal byte counts without leading zeros, so any byte (a space, a newline) may
// appear in a path. Paths are relative, '/'-separated, without empty, "." or ".." parts.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "FileHandles.h"

namespace quorvane::tools {

using CdHash = std::array<std::uint8_t, 20>;

struct CodeDirectoryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CodeEntry {
    enum class Kind { file, link, code };
    Kind kind = Kind::file;
    std::string path;
    bool executable = false; // file
    std::uint64_t size = 0;  // file
    Sha256Digest digest{};   // file
    std::string target;      // link
    CdHash cdhash{};         // code

    friend bool operator==(const CodeEntry&, const CodeEntry&) = default;
};

struct CodeDirectory {
    static constexpr std::size_t maxBytes = 64u << 20;
    static constexpr std::size_t maxEntries = 1'000'000;
    static constexpr std::size_t maxPathBytes = 4096;
    static constexpr std::size_t maxIdentifierBytes = 1024;

    std::string identifier;
    std::string teamIdentifier;
    std::vector<CodeEntry> entries; // sorted by path

    std::string encode() const;
    // Strict: anything but the canonical form throws CodeDirectoryError.
    static CodeDirectory decode(std::string_view bytes);

    friend bool operator==(const CodeDirectory&, const CodeDirectory&) = default;
};

CdHash cdhashOf(std::string_view codeDirectoryBytes);
bool isValidEntryPath(std::string_view path);

} // namespace quorvane::tools
