#pragma once

// The payload of a component package: one gzip stream holding a cpio archive in the odc
// ("070707") or newc ("070701", "070702" with checksum) format. Read strictly and in bounded
// memory: a stated name or link length beyond the path limit is refused before any of it is
// read, and every inflated byte is charged to a budget before it is handed on.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace quorvane::tools {

class PayloadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `capacity` bytes; 0 only at the end.
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
};

// Counts bytes against a limit; the count never passes the limit.
class ByteBudget {
public:
    explicit ByteBudget(std::uint64_t limit) : limit_(limit) {}
    void charge(std::uint64_t bytes) {
        if (bytes > limit_ - used_)
            throw PayloadError("the package expands past the size limit");
        used_ += bytes;
    }
    // Refuses early when a stated size alone would break the limit.
    void expect(std::uint64_t bytes) const {
        if (bytes > limit_ - used_)
            throw PayloadError("the package expands past the size limit");
    }
    std::uint64_t used() const { return used_; }
    std::uint64_t limit() const { return limit_; }

private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

// Exactly one gzip stream: anything after its end (a second, concatenated stream or stray
// bytes) is refused. Every byte it inflates is charged to `budget` first.
class GzipLayer : public ByteSource {
public:
    GzipLayer(ByteSource& in, ByteBudget& budget);
    ~GzipLayer() override;
    GzipLayer(const GzipLayer&) = delete;
    GzipLayer& operator=(const GzipLayer&) = delete;
    std::size_t read(char* buffer, std::size_t capacity) override;

private:
    struct Stream;
    ByteSource& in_;
    ByteBudget& budget_;
    std::unique_ptr<Stream> z_;
    std::string input_;
    std::size_t inputUsed_ = 0;
    bool inputEnded_ = false;
    bool ended_ = false;
};

inline constexpr std::size_t cpioMaxPath = 4096;

struct CpioEntry {
    std::string name;
    std::uint32_t mode = 0; // type and permission bits, as stored
    std::uint64_t dev = 0;  // newc: major << 32 | minor
    std::uint64_t ino = 0;
    std::uint32_t nlink = 0;
    std::int64_t mtime = 0;
    std::uint64_t size = 0;
    std::string linkTarget; // symbolic links: the target, read already

    bool isDirectory() const { return (mode & 0170000) == 0040000; }
    bool isRegular() const { return (mode & 0170000) == 0100000; }
    bool isSymlink() const { return (mode & 0170000) == 0120000; }
};

class CpioReader {
public:
    explicit CpioReader(ByteSource& in);

    // The next entry's header; false at the trailer, after checking that only zero padding
    // follows it. The previous entry's unread data is skipped (and read, so it is counted).
    bool next(CpioEntry& entry);
    // The current entry's data; 0 at its end.
    std::size_t readData(char* buffer, std::size_t capacity);

private:
    std::size_t fill(char* buffer, std::size_t capacity);
    void readExact(char* buffer, std::size_t length);
    void skip(std::uint64_t length);
    void finishEntry();
    void checkTrailerPadding();

    ByteSource& in_;
    std::string buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t offset_ = 0; // archive bytes consumed, for newc alignment
    bool newc_ = false;
    bool checked_ = false; // "070702": data sum to check
    std::uint32_t expectedSum_ = 0;
    std::uint32_t sum_ = 0;
    std::uint64_t dataLeft_ = 0;
    bool inEntry_ = false;
    bool done_ = false;
};

} // namespace quorvane::tools
