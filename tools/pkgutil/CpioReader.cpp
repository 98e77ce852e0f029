#include "CpioReader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <zlib.h>

namespace quorvane::tools {
namespace {

constexpr std::size_t readChunk = 1 << 20;
constexpr std::size_t lookahead = 64 << 10;
constexpr std::size_t odcHeaderSize = 76;
constexpr std::size_t newcHeaderSize = 110;

std::uint64_t number(std::string_view field, int base) {
    std::uint64_t value = 0;
    for (const char c : field) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0 || digit >= base)
            throw PayloadError("corrupt cpio header");
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

} // namespace

struct GzipLayer::Stream {
    z_stream z{};
    bool ready = false;
    // 16 + MAX_WBITS: a gzip wrapper only, no raw deflate or zlib streams.
    Stream() { ready = inflateInit2(&z, 16 + MAX_WBITS) == Z_OK; }
    ~Stream() {
        if (ready)
            inflateEnd(&z);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
};

GzipLayer::GzipLayer(ByteSource& in, ByteBudget& budget)
    : in_(in), budget_(budget), z_(std::make_unique<Stream>()) {
    if (!z_->ready)
        throw PayloadError("zlib unavailable");
}

GzipLayer::~GzipLayer() = default;

std::size_t GzipLayer::read(char* buffer, std::size_t capacity) {
    if (ended_ || capacity == 0)
        return 0;
    z_stream& z = z_->z;
    for (;;) {
        if (inputUsed_ == input_.size() && !inputEnded_) {
            input_.resize(readChunk);
            input_.resize(in_.read(input_.data(), input_.size()));
            inputUsed_ = 0;
            inputEnded_ = input_.empty();
        }
        // Never inflate more than the budget has left, so the count stops at the limit.
        const std::uint64_t left = budget_.limit() - budget_.used();
        const std::size_t room = static_cast<std::size_t>(
            std::min<std::uint64_t>({capacity, readChunk, left > 0 ? left : 1}));
        z.next_in = reinterpret_cast<Bytef*>(input_.data() + inputUsed_);
        z.avail_in = static_cast<uInt>(input_.size() - inputUsed_);
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&z, Z_NO_FLUSH);
        inputUsed_ = input_.size() - z.avail_in;
        const std::size_t produced = room - z.avail_out;
        budget_.charge(produced);
        if (rc == Z_STREAM_END) {
            ended_ = true;
            // A second gzip member, or anything else, after the first: one layer only.
            char probe = 0;
            if (inputUsed_ != input_.size() || in_.read(&probe, 1) != 0)
                throw PayloadError("data after the end of the compressed payload");
            return produced;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            throw PayloadError("the payload is not a valid gzip stream");
        if (produced > 0)
            return produced;
        if (inputEnded_ && z.avail_in == 0)
            throw PayloadError("the compressed payload ends early");
    }
}

CpioReader::CpioReader(ByteSource& in) : in_(in), buffer_(lookahead, '\0') {}

std::size_t CpioReader::fill(char* buffer, std::size_t capacity) {
    if (begin_ == end_) {
        // Large reads go straight through; small ones refill the lookahead.
        if (capacity >= buffer_.size())
            return in_.read(buffer, capacity);
        begin_ = 0;
        end_ = in_.read(buffer_.data(), buffer_.size());
        if (end_ == 0)
            return 0;
    }
    const std::size_t n = std::min(capacity, end_ - begin_);
    std::memcpy(buffer, buffer_.data() + begin_, n);
    begin_ += n;
    return n;
}

void CpioReader::readExact(char* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const std::size_t n = fill(buffer + done, length - done);
        if (n == 0)
            throw PayloadError("the cpio archive ends early");
        done += n;
    }
    offset_ += length;
}

void CpioReader::skip(std::uint64_t length) {
    char scratch[4096];
    while (length > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof scratch));
        readExact(scratch, n);
        length -= n;
    }
}

void CpioReader::finishEntry() {
    if (!inEntry_)
        return;
    char scratch[4096];
    while (readData(scratch, sizeof scratch) != 0) {
    }
    inEntry_ = false;
}

std::size_t CpioReader::readData(char* buffer, std::size_t capacity) {
    if (!inEntry_ || (capacity == 0 && dataLeft_ > 0))
        return 0;
    if (dataLeft_ == 0) {
        if (checked_ && sum_ != expectedSum_)
            throw PayloadError("cpio entry fails its checksum");
        if (newc_)
            skip((4 - offset_ % 4) % 4);
        inEntry_ = false;
        return 0;
    }
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, dataLeft_));
    std::size_t n = fill(buffer, want);
    if (n == 0)
        throw PayloadError("the cpio archive ends early");
    offset_ += n;
    dataLeft_ -= n;
    if (checked_)
        for (std::size_t i = 0; i < n; ++i)
            sum_ += static_cast<unsigned char>(buffer[i]);
    return n;
}

bool CpioReader::next(CpioEntry& entry) {
    if (done_)
        return false;
    finishEntry();
    char header[newcHeaderSize];
    readExact(header, 6);
    const std::string_view magic(header, 6);
    const bool first = offset_ == 6;
    if (magic == "070707") {
        if (!first && newc_)
            throw PayloadError("cpio archive mixes formats");
        newc_ = false;
        checked_ = false;
    } else if (magic == "070701" || magic == "070702") {
        if (!first && !newc_)
            throw PayloadError("cpio archive mixes formats");
        newc_ = true;
        checked_ = magic == "070702";
    } else {
        throw PayloadError(first ? "the payload is not a cpio archive in a single gzip layer"
                                 : "corrupt cpio header");
    }

    std::uint64_t nameSize = 0;
    entry = CpioEntry{};
    if (newc_) {
        readExact(header + 6, newcHeaderSize - 6);
        const auto field = [&](int i) {
            return number(std::string_view(header + 6 + 8 * i, 8), 16);
        };
        entry.ino = field(0);
        entry.mode = static_cast<std::uint32_t>(field(1));
        entry.nlink = static_cast<std::uint32_t>(field(4));
        entry.mtime = static_cast<std::int64_t>(field(5));
        entry.size = field(6);
        entry.dev = field(7) << 32 | field(8);
        nameSize = field(11);
        expectedSum_ = static_cast<std::uint32_t>(field(12));
    } else {
        readExact(header + 6, odcHeaderSize - 6);
        const auto field = [&](std::size_t at, std::size_t width) {
            return number(std::string_view(header + at, width), 8);
        };
        entry.dev = field(6, 6);
        entry.ino = field(12, 6);
        entry.mode = static_cast<std::uint32_t>(field(18, 6));
        entry.nlink = static_cast<std::uint32_t>(field(36, 6));
        entry.mtime = static_cast<std::int64_t>(field(48, 11));
        nameSize = field(59, 6);
        entry.size = field(65, 11);
    }
    // Checked before reading: a stated length is never trusted for an allocation.
    if (nameSize < 2 || nameSize > cpioMaxPath + 1)
        throw PayloadError("cpio entry name longer than the path limit or empty");
    entry.name.resize(static_cast<std::size_t>(nameSize));
    readExact(entry.name.data(), entry.name.size());
    if (entry.name.back() != '\0' || entry.name.find('\0') != entry.name.size() - 1)
        throw PayloadError("corrupt cpio entry name");
    entry.name.pop_back();
    if (newc_)
        skip((4 - offset_ % 4) % 4);

    sum_ = 0;
    dataLeft_ = entry.size;
    inEntry_ = true;
    if (entry.name == "TRAILER!!!") {
        if (entry.size != 0)
            throw PayloadError("cpio trailer carries data");
        inEntry_ = false;
        done_ = true;
        checkTrailerPadding();
        return false;
    }
    if (entry.isSymlink()) {
        if (entry.size == 0 || entry.size > cpioMaxPath)
            throw PayloadError("cpio link target empty or longer than the path limit: " +
                               entry.name);
        entry.linkTarget.resize(static_cast<std::size_t>(entry.size));
        for (std::size_t done = 0; done < entry.linkTarget.size();)
            done += readData(entry.linkTarget.data() + done, entry.linkTarget.size() - done);
        readData(nullptr, 0);
    } else if (!entry.isRegular() && entry.size != 0) {
        throw PayloadError("cpio entry that carries no data has some: " + entry.name);
    }
    return true;
}

void CpioReader::checkTrailerPadding() {
    // Writers pad the archive to a block; nothing but zeros may follow the trailer.
    char scratch[4096];
    for (;;) {
        const std::size_t n = fill(scratch, sizeof scratch);
        if (n == 0)
            return;
        if (std::any_of(scratch, scratch + n, [](char c) { return c != 0; }))
            throw PayloadError("data after the end of the cpio archive");
    }
}

} // namespace quorvane::tools
