#pragma once

// An open xar file: header and table of contents read and checked for shape, heap access by
// range, and members streamed through their encoding with their checksums checked.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Digest.h"
#include "XarToc.h"
#include "base/FileIo.h"

namespace quorvane::tools {

inline constexpr std::size_t chunkSize = 1 << 20;

class XarArchive {
public:
    // Throws XarError for a malformed archive, std::system_error when the file cannot be read.
    explicit XarArchive(const std::filesystem::path& path);

    const XarHeader& header() const { return header_; }
    const XarToc& toc() const { return toc_; }
    const std::string& compressedToc() const { return compressedToc_; }
    std::uint64_t heapStart() const { return header_.size + header_.tocCompressed; }
    std::uint64_t fileSize() const { return fileSize_; }

    // Exactly `length` heap bytes at `offset`; for small regions (signatures, checksums).
    std::string readHeap(std::uint64_t offset, std::uint64_t length) const;
    // Up to `length` bytes at heap offset `offset` into `buffer`; short only at the range's end.
    std::size_t readHeapChunk(std::uint64_t offset, char* buffer, std::size_t length) const;

    // Whether the table's own checksum in the heap matches the compressed table.
    bool tocChecksumMatches() const;

private:
    FileDescriptor fd_;
    std::uint64_t fileSize_ = 0;
    XarHeader header_;
    std::string compressedToc_;
    XarToc toc_;
};

// A member's data, decoded, with its archived and extracted checksums checked at the end.
class MemberStream {
public:
    MemberStream(const XarArchive& archive, const XarData& data);
    ~MemberStream();
    MemberStream(const MemberStream&) = delete;
    MemberStream& operator=(const MemberStream&) = delete;

    // Decoded bytes into `buffer`; 0 at the end, after the checksums have been checked (a
    // mismatch, more or fewer bytes than the table states, or a corrupt stream throw XarError).
    std::size_t read(char* buffer, std::size_t capacity);
    // Reads and discards the rest, so that the checksums are checked.
    void drain();

private:
    struct Inflater;
    std::size_t readRaw(char* buffer, std::size_t capacity);
    void finish();

    const XarArchive& archive_;
    XarData data_;
    std::uint64_t rawDone_ = 0;
    std::uint64_t decodedDone_ = 0;
    std::optional<Digest> archivedDigest_;
    std::optional<Digest> extractedDigest_;
    std::unique_ptr<Inflater> inflater_;
    std::string input_; // compressed bytes waiting for the inflater
    std::size_t inputUsed_ = 0;
    bool oneDigest_ = false; // a stored member's one digest stands for both checksums
    bool finished_ = false;
    bool streamEnded_ = false;
    bool broken_ = false;
};

} // namespace quorvane::tools
