#include "FileHandles.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "OpenSslHandles.h"

namespace quorvane::tools {
namespace {} // namespace

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
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throwErrno(name);
        if (n == 0)
            break;
        if (contents.size() + static_cast<std::size_t>(n) > maxBytes)
            throw std::runtime_error(name + " is too large");
        contents.append(buffer.data(), static_cast<std::size_t>(n));
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
    const std::string temporary = "." + name + ".partial";
    ::unlinkat(dir, temporary.c_str(), 0);
    FileDescriptor fd(::openat(dir, temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd)
        throwErrno(temporary);
    std::size_t done = 0;
    while (done < contents.size()) {
        const ssize_t n = ::write(fd.get(), contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::unlinkat(dir, temporary.c_str(), 0);
            throw std::system_error(error, std::generic_category(), temporary);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || ::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(dir, temporary.c_str(), 0);
        throw std::system_error(error, std::generic_category(), name);
    }
}

Sha256Digest sha256Stream(int fd, std::uint64_t* bytesRead, std::uint64_t maxBytes) {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 unavailable");
    std::vector<unsigned char> buffer(chunkBytes);
    std::uint64_t total = 0;
    const std::uint64_t stopAt = maxBytes == UINT64_MAX ? maxBytes : maxBytes + 1;
    while (total < stopAt) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), stopAt - total));
        const ssize_t n = ::read(fd, buffer.data(), want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throwErrno("read");
        if (n == 0)
            break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n));
        total += static_cast<std::uint64_t>(n);
    }
    Sha256Digest digest{};
    EVP_DigestFinal_ex(ctx.get(), digest.data(), nullptr);
    if (bytesRead)
        *bytesRead = total;
    return digest;
}

Sha256Digest sha256Bytes(std::string_view bytes) {
    Sha256Digest digest{};
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
    return digest;
}

std::string lowerHex(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xf];
    }
    return text;
}

} // namespace quorvane::tools
