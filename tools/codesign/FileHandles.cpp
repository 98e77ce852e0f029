#include "FileHandles.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "base/Digest.h"
#include "base/Rename.h"

namespace quorvane::tools {
namespace {

Sha256Digest toSha256Digest(const std::string& raw) {
    Sha256Digest digest{};
    std::copy_n(raw.begin(), std::min(raw.size(), digest.size()), digest.begin());
    return digest;
}

} // namespace

FileDescriptor openDirectoryAt(int dir, const std::string& name) {
    FileDescriptor fd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throwErrno(name);
    return fd;
}

FileDescriptor tryOpenDirectoryAt(int dir, const std::string& name) {
    return FileDescriptor(
        ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

FileDescriptor openRegularFileAt(int dir, const std::string& name, struct stat* info) {
    // O_NONBLOCK keeps a planted FIFO from blocking the open; fstat then refuses it.
    FileDescriptor fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        throwErrno(name);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throwErrno(name);
    if (!S_ISREG(st.st_mode))
        throw std::system_error(EINVAL, std::generic_category(), name + " is not a regular file");
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        throwErrno(name);
    if (info)
        *info = st;
    return fd;
}

namespace {

std::string readAll(FileDescriptor fd, const struct stat& st, const std::string& name,
                    std::size_t maxBytes) {
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        throw std::runtime_error(name + " is too large");
    std::string contents;
    contents.reserve(static_cast<std::size_t>(st.st_size));
    std::vector<char> buffer(64 * 1024);
    while (const std::size_t n = readSome(fd.get(), buffer)) {
        if (contents.size() + n > maxBytes)
            throw std::runtime_error(name + " is too large");
        contents.append(buffer.data(), n);
    }
    return contents;
}

} // namespace

std::string readSmallFileAt(int dir, const std::string& name, std::size_t maxBytes) {
    struct stat st {};
    FileDescriptor fd = openRegularFileAt(dir, name, &st);
    return readAll(std::move(fd), st, name, maxBytes);
}

std::string readSmallFile(const std::string& path, std::size_t maxBytes) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        throwErrno(path);
    if (!S_ISREG(st.st_mode))
        throw std::system_error(EINVAL, std::generic_category(), path + " is not a regular file");
    return readAll(std::move(fd), st, path, maxBytes);
}

void writeFileAt(int dir, const std::string& name, std::string_view contents) {
    replaceFile(dir, name, contents);
}

Sha256Digest sha256Stream(int fd, std::uint64_t* bytesRead, std::uint64_t maxBytes) {
    Hasher hasher;
    const std::uint64_t total = hashFile(hasher, fd, {}, maxBytes);
    if (bytesRead)
        *bytesRead = total;
    return toSha256Digest(hasher.finish());
}

Sha256Digest sha256Bytes(std::string_view bytes) {
    Hasher hasher;
    hasher.update(std::span(bytes.data(), bytes.size()));
    return toSha256Digest(hasher.finish());
}

std::string lowerHex(const std::uint8_t* bytes, std::size_t count) {
    return hexDigits(std::string_view(reinterpret_cast<const char*>(bytes), count));
}

} // namespace quorvane::tools
