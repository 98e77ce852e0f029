#include "XarArchive.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

namespace quorvane::tools {
namespace {

void preadExact(int fd, char* buffer, std::size_t length, std::uint64_t offset) {
    if (readAt(fd, {buffer, length}, offset) != length)
        throw XarError("archive is truncated");
}

} // namespace

XarArchive::XarArchive(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (!fd_)
        throw std::system_error(errno, std::generic_category(), path.string());
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0)
        throw std::system_error(errno, std::generic_category(), path.string());
    if (!S_ISREG(st.st_mode))
        throw XarError("not a regular file");
    fileSize_ = static_cast<std::uint64_t>(st.st_size);
    if (fileSize_ < xarMinHeaderSize)
        throw XarError("not a xar archive");

    std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(fileSize_, xarMaxHeaderSize)),
                     '\0');
    preadExact(fd_.get(), head.data(), head.size(), 0);
    header_ = parseXarHeader(head);
    if (header_.size + header_.tocCompressed > fileSize_)
        throw XarError("archive is truncated");
    compressedToc_.resize(static_cast<std::size_t>(header_.tocCompressed));
    preadExact(fd_.get(), compressedToc_.data(), compressedToc_.size(), header_.size);
    toc_ = parseToc(inflateToc(compressedToc_, header_.tocUncompressed));
    if (toc_.checksum && toc_.checksum->style != header_.checksumStyle)
        throw XarError("table checksum style differs from the header's");
}

std::size_t XarArchive::readHeapChunk(std::uint64_t offset, char* buffer,
                                      std::size_t length) const {
    const std::uint64_t start = heapStart();
    if (offset > fileSize_ - start || length > fileSize_ - start - offset)
        throw XarError("data lies beyond the end of the archive");
    preadExact(fd_.get(), buffer, length, start + offset);
    return length;
}

std::string XarArchive::readHeap(std::uint64_t offset, std::uint64_t length) const {
    if (length > (1u << 20))
        throw XarError("heap region too large");
    std::string out(static_cast<std::size_t>(length), '\0');
    readHeapChunk(offset, out.data(), out.size());
    return out;
}

bool XarArchive::tocChecksumMatches() const {
    if (!toc_.checksum)
        return false;
    Digest digest(toc_.checksum->style);
    digest.update(compressedToc_);
    return digest.finish() == readHeap(toc_.checksumOffset, toc_.checksumSize);
}

struct MemberStream::Inflater {
    z_stream z{};
    bool ready = false;
    Inflater() { ready = inflateInit(&z) == Z_OK; }
    ~Inflater() {
        if (ready)
            inflateEnd(&z);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

MemberStream::MemberStream(const XarArchive& archive, const XarData& data)
    : archive_(archive), data_(data) {
    const std::uint64_t heapSize = archive.fileSize() - archive.heapStart();
    if (data.offset > heapSize || data.length > heapSize - data.offset)
        throw XarError("data lies beyond the end of the archive");
    if (data.archived)
        archivedDigest_.emplace(data.archived->style);
    // A stored member's archived and extracted bytes are the same bytes: one digest serves both.
    oneDigest_ = data.encoding == "application/octet-stream" && data.archived && data.extracted &&
                 data.archived->style == data.extracted->style;
    if (data.extracted && !oneDigest_)
        extractedDigest_.emplace(data.extracted->style);
    if (data.encoding == "application/x-gzip") {
        inflater_ = std::make_unique<Inflater>();
        if (!inflater_->ready)
            throw XarError("zlib unavailable");
    } else if (data.encoding == "application/octet-stream") {
        if (data.length != data.size)
            throw XarError("stored member whose size differs from its length");
    } else {
        throw XarError("unsupported member encoding " + data.encoding);
    }
}

MemberStream::~MemberStream() = default;

std::size_t MemberStream::readRaw(char* buffer, std::size_t capacity) {
    const std::uint64_t left = data_.length - rawDone_;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, capacity));
    if (n == 0)
        return 0;
    archive_.readHeapChunk(data_.offset + rawDone_, buffer, n);
    rawDone_ += n;
    if (archivedDigest_)
        archivedDigest_->update(std::string_view(buffer, n));
    return n;
}

std::size_t MemberStream::read(char* buffer, std::size_t capacity) {
    if (broken_)
        throw XarError("member failed its checks");
    if (finished_ || capacity == 0)
        return 0;
    std::size_t produced = 0;
    if (!inflater_) {
        produced = readRaw(buffer, capacity);
    } else {
        z_stream& z = inflater_->z;
        while (produced == 0 && !streamEnded_) {
            if (inputUsed_ == input_.size()) {
                input_.resize(chunkSize);
                input_.resize(readRaw(input_.data(), input_.size()));
                inputUsed_ = 0;
            }
            z.next_in = reinterpret_cast<Bytef*>(input_.data() + inputUsed_);
            z.avail_in = static_cast<uInt>(input_.size() - inputUsed_);
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, chunkSize));
            const uInt before = z.avail_out;
            const int rc = inflate(&z, Z_NO_FLUSH);
            inputUsed_ = input_.size() - z.avail_in;
            produced = before - z.avail_out;
            if (rc == Z_STREAM_END) {
                if (inputUsed_ != input_.size() || rawDone_ != data_.length)
                    throw XarError("data after the end of a compressed member");
                streamEnded_ = true;
            } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && z.avail_in == 0)) {
                throw XarError("corrupt compressed member");
            } else if (produced == 0 && z.avail_in == 0 && rawDone_ == data_.length) {
                throw XarError("compressed member ends early");
            }
        }
    }
    decodedDone_ += produced;
    if (decodedDone_ > data_.size)
        throw XarError("member larger than the table states");
    if (extractedDigest_)
        extractedDigest_->update(std::string_view(buffer, produced));
    if (produced == 0)
        finish();
    return produced;
}

void MemberStream::finish() {
    // A failed check stays failed, however often the reader asks again.
    broken_ = true;
    if (decodedDone_ != data_.size || rawDone_ != data_.length)
        throw XarError("member smaller than the table states");
    const std::string archived = archivedDigest_ ? Digest::hex(archivedDigest_->finish()) : "";
    if (archivedDigest_ && archived != data_.archived->hex)
        throw XarError("archived checksum does not match");
    if (oneDigest_ && archived != data_.extracted->hex)
        throw XarError("extracted checksum does not match");
    if (extractedDigest_ && Digest::hex(extractedDigest_->finish()) != data_.extracted->hex)
        throw XarError("extracted checksum does not match");
    broken_ = false;
    finished_ = true;
}

void MemberStream::drain() {
    std::string buffer(chunkSize, '\0');
    while (read(buffer.data(), buffer.size()) != 0) {
    }
}

} // namespace quorvane::tools
