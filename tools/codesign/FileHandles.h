#pragma once

// Owning descriptors and the few descriptor-relative file operations the signing tools share.
// Bundles are read through directory descriptors with O_NOFOLLOW, so that a path is never
// re-resolved between the check and the use.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "base/FileIo.h"

namespace quorvane::tools {

using Sha256Digest = std::array<std::uint8_t, 32>;

// A directory below `dir`, never through a symbolic link. Throws std::system_error.
FileDescriptor openDirectoryAt(int dir, const std::string& name);
// Like openDirectoryAt, but an empty result instead of an error when `name` is missing or is
// not a directory.
FileDescriptor tryOpenDirectoryAt(int dir, const std::string& name);
// A regular file below `dir` for reading, never through a symbolic link. Throws
// std::system_error; a non-regular file is EINVAL.
FileDescriptor openRegularFileAt(int dir, const std::string& name, struct stat* info = nullptr);

// The whole of a small regular file; refuses files larger than `maxBytes`.
std::string readSmallFileAt(int dir, const std::string& name, std::size_t maxBytes);
// The same for a path given by the user, through links.
std::string readSmallFile(const std::string& path, std::size_t maxBytes);
// Replaces `name` in `dir` with `contents` through a temporary file and a rename.
void writeFileAt(int dir, const std::string& name, std::string_view contents);

// SHA-256 of everything `fd` still has to read, streamed in chunks. Counts the bytes read. Stops
// after `maxBytes` + 1 bytes, so that a file that grows while it is read is a mismatch, not an
// endless read.
Sha256Digest sha256Stream(int fd, std::uint64_t* bytesRead = nullptr,
                          std::uint64_t maxBytes = UINT64_MAX);
Sha256Digest sha256Bytes(std::string_view bytes);

std::string lowerHex(const std::uint8_t* bytes, std::size_t count);
template <std::size_t N> std::string lowerHex(const std::array<std::uint8_t, N>& bytes) {
    return lowerHex(bytes.data(), N);
}

} // namespace quorvane::tools
