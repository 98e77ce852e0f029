#include "FileIo.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

namespace {
constexpr std::size_t pageBytes = 4096;
}

ChunkBuffer::ChunkBuffer()
    : memory_(static_cast<char*>(std::aligned_alloc(pageBytes, chunkBytes + pageBytes))) {
    if (!memory_)
        throw std::bad_alloc();
}

void ChunkBuffer::Free::operator()(char* memory) const noexcept {
    std::free(memory);
}

void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

FileDescriptor openFile(const std::filesystem::path& path, int flags, unsigned mode) {
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throwErrno("open");
    return FileDescriptor(fd);
}

namespace {

class FileProblemCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "file"; }
    std::string message(int value) const override {
        switch (static_cast<FileProblem>(value)) {
        case FileProblem::notRegular:
            return "not a regular file";
        case FileProblem::otherNames:
            return "a file with other names (hard links)";
        case FileProblem::otherOwner:
            return "owned by another user";
        }
        return "unusable";
    }
};

} // namespace

const std::error_category& fileProblemCategory() {
    static const FileProblemCategory category;
    return category;
}

void throwFileProblem(FileProblem problem, const std::string& what) {
    throw std::system_error(static_cast<int>(problem), fileProblemCategory(), what);
}

FileDescriptor openPlainFile(int dir, const std::filesystem::path& name, int flags, unsigned mode) {
    int fd;
    do
        fd = ::openat(dir, name.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC,
                      static_cast<mode_t>(mode));
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throwErrno("open " + name.string());
    FileDescriptor file(fd);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        throwErrno("inspect " + name.string());
    if (!S_ISREG(info.st_mode))
        throwFileProblem(FileProblem::notRegular, "open " + name.string());
    if (info.st_nlink != 1)
        throwFileProblem(FileProblem::otherNames, "open " + name.string());
    if ((flags & O_NONBLOCK) == 0) {
        const int status = ::fcntl(file.get(), F_GETFL);
        if (status < 0 || ::fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0)
            throwErrno("fcntl " + name.string());
    }
    return file;
}

FileDescriptor createFreshFile(const std::filesystem::path& path, int flags, unsigned mode) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != EISDIR)
        throwErrno("unlink " + path.string());
    return openPlainFile(AT_FDCWD, path, flags | O_CREAT | O_EXCL, mode);
}

void claimFolder(int fd, const std::string& what, mode_t mode) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throwErrno("inspect " + what);
    if (info.st_uid != ::geteuid())
        throwFileProblem(FileProblem::otherOwner, what);
    if ((info.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0)
        throwErrno("protect " + what);
}

std::size_t readAt(int fd, std::span<char> buffer, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(fd, buffer.data() + done, buffer.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("pread");
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t readSome(int fd, std::span<char> buffer) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR)
            throwErrno("read");
    }
}

void writeAllAt(int fd, std::span<const char> data, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("pwrite");
        }
        done += static_cast<std::size_t>(n);
    }
}

void writeAll(int fd, std::span<const char> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno("write");
        }
        done += static_cast<std::size_t>(n);
    }
}

void createFoldersForOwner(const std::filesystem::path& folder) {
    std::filesystem::path at;
    for (const auto& part : folder) {
        at /= part;
        if (::mkdir(at.c_str(), 0777) != 0) {
            if (errno == EEXIST)
                continue;
            throwErrno("create " + at.string());
        }
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0 ||
            ::chmod(at.c_str(), (info.st_mode & 07777) | S_IRWXU) != 0)
            throwErrno("give its owner " + at.string());
    }
}

void moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return;
    if (errno != EINVAL && errno != ENOSYS)
        throwErrno("renameat2");
    // Some file systems do not know the flag; a hard link is just as unwilling to replace.
    if (::link(from.c_str(), to.c_str()) != 0)
        throwErrno("link");
    if (::unlink(from.c_str()) != 0)
        throwErrno("unlink");
}

} // namespace quorvane
