#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <system_error>

#include <sys/types.h>

namespace quorvane {

// Every large file is read and written in pieces of this size, so memory stays bounded.
inline constexpr std::size_t chunkBytes = 1 << 20;

// Owns one open file descriptor and closes it when it goes away; errors while closing are
// ignored, as nothing useful can follow from them.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// One chunk of memory for streaming a file, reused for every chunk. Where it lies matters: the
// kernel copies into a buffer that is not cache-line aligned several times more slowly, and
// on some CPUs also long copies out of a page-aligned one (measured on AMD Zen with Linux 6
// and ext4). So the chunk is cache-line aligned and starts one line into a page.
class ChunkBuffer {
public:
    ChunkBuffer();
    std::span<char> span() const noexcept { return {memory_.get() + pageSkew, chunkBytes}; }

private:
    static constexpr std::size_t pageSkew = 64;
    struct Free {
        void operator()(char* memory) const noexcept;
    };
    std::unique_ptr<char, Free> memory_;
};

// Throws std::system_error in the POSIX domain for the current errno.
[[noreturn]] void throwErrno(const std::string& what);

// open(2) with O_CLOEXEC added; throws the platform error.
FileDescriptor openFile(const std::filesystem::path& path, int flags, unsigned mode = 0);

// Why a name cannot be used as a file or folder of this program's own.
enum class FileProblem {
    notRegular = 1, // a FIFO, a device, a socket or a folder
    otherNames,     // a regular file with hard links: writing to it would change another name
    otherOwner,     // a folder that another user can change under us
};
const std::error_category& fileProblemCategory();
[[noreturn]] void throwFileProblem(FileProblem problem, const std::string& what);

// Opens `name` in the folder `dir` (AT_FDCWD: relative to the working directory, or an absolute
// path) as a plain file: a regular file with one name. The open never blocks and never follows
// a final link (a FIFO or a device planted at the name cannot stall it), the type and the link
// count are judged on the descriptor itself, so nothing can be swapped in between, and
// O_NONBLOCK is cleared again. Throws the open's platform error or a FileProblem.
FileDescriptor openPlainFile(int dir, const std::filesystem::path& name, int flags,
                             unsigned mode = 0);

// A new plain file at `path`, whatever was there: the name is unlinked first (a folder there
// stays, and the open fails), then created with O_CREAT | O_EXCL, so that nothing that was at the
// name is ever opened or written through.
FileDescriptor createFreshFile(const std::filesystem::path& path, int flags, unsigned mode);

// Makes an opened folder its owner's alone (`mode`) when this process's user owns it, through
// the descriptor, so that the folder checked is the folder changed. Throws
// FileProblem::otherOwner for a folder of another user, or the platform error.
void claimFolder(int fd, const std::string& what, mode_t mode = 0700);

// Reads until `buffer` is full or the file ends; returns the bytes read. Throws on errors.
std::size_t readAt(int fd, std::span<char> buffer, std::uint64_t offset);
// Reads what is available (at most buffer.size()); 0 means end of file. Throws on errors.
std::size_t readSome(int fd, std::span<char> buffer);
// Writes all of `data` at `offset`, or throws (ENOSPC included).
void writeAllAt(int fd, std::span<const char> data, std::uint64_t offset);
// Writes all of `data` at the current position, or throws.
void writeAll(int fd, std::span<const char> data);

// Creates `folder` and any missing parents. New folders get the modes the umask allows, plus
// everything for their owner: a umask may take the owner's own bits away, and a folder this
// program makes must stay usable by it. Existing folders are left as they are.
void createFoldersForOwner(const std::filesystem::path& folder);

// Removes `path` and everything below it. Links are removed, never followed, also when a folder
// is swapped for a link meanwhile: every step is relative to an open folder. Folders made
// read-only are given back to their owner to be emptied; other file systems mounted inside are
// left alone. One folder is open at a time, so any depth goes under any descriptor limit. Never
// throws: what cannot be removed stays, and the answer is false.
bool removeTree(const std::filesystem::path& path) noexcept;

} // namespace quorvane
