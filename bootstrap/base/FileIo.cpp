#include "base/FileIo.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <dirent.h>
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

namespace {

// One folder on the way down from the root of a removal.
struct RemovalLevel {
    std::string name; // in the folder above
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<std::string> folders; // sub-folders to empty next, a bounded batch
    std::set<std::string> kept;       // names that could not be removed
    bool scan = true;                 // whether the folder may still hold something to remove
};

// Sub-folders noted per scan: a wide folder is read again after each batch rather than held in
// memory whole.
constexpr std::size_t removalBatch = 128;

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens the sub-folder `name` of `dir` to empty it, with its owner's rwx: a read-only folder
// gets them back. Never through a link.
FileDescriptor openToEmpty(int dir, const char* name) {
    FileDescriptor fd(::openat(dir, name, folderFlags));
    // Without following a link: the C library changes the mode through the opened inode.
    if (!fd && errno == EACCES && ::fchmodat(dir, name, S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0)
        fd = FileDescriptor(::openat(dir, name, folderFlags));
    struct stat info {};
    if (fd && ::fstat(fd.get(), &info) == 0 && (info.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(fd.get(), (info.st_mode & 07777) | S_IRWXU);
    return fd;
}

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

// Removes what `dir` holds that is not a folder, and notes a batch of its sub-folders.
void scanToEmpty(int dir, RemovalLevel& level) {
    level.scan = false;
    // A description of its own: the reading position is not shared with `dir`.
    FileDescriptor own(::openat(dir, ".", folderFlags));
    std::unique_ptr<DIR, DirCloser> stream(own ? ::fdopendir(own.get()) : nullptr);
    if (!stream) {
        level.kept.insert(".");
        return;
    }
    own.release();
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || level.kept.count(name))
            continue;
        bool folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            folder = ::fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISDIR(info.st_mode);
        }
        if (!folder) {
            if (::unlinkat(dir, entry->d_name, 0) == 0 || errno == ENOENT) {
                level.scan = true;
                continue;
            }
            if (errno != EISDIR) {
                level.kept.insert(name);
                continue;
            }
        }
        // Read again when this batch is done: more may follow, and entries removed while
        // reading may have hidden others.
        level.scan = true;
        if (level.folders.size() < removalBatch)
            level.folders.push_back(name);
    }
}

// Empties the open folder `root`, one open folder at a time: it climbs back through "..", which
// must be the very folder it came down from, or it stops.
bool emptyFolder(FileDescriptor root) {
    struct stat info {};
    if (::fstat(root.get(), &info) != 0)
        return false;
    const dev_t device = info.st_dev;
    std::vector<RemovalLevel> levels(1);
    levels[0].device = info.st_dev;
    levels[0].inode = info.st_ino;
    FileDescriptor here = std::move(root);
    for (;;) {
        RemovalLevel& level = levels.back();
        if (!level.folders.empty()) {
            std::string name = std::move(level.folders.back());
            level.folders.pop_back();
            FileDescriptor sub = openToEmpty(here.get(), name.c_str());
            if (!sub && (errno == ELOOP || errno == ENOTDIR)) {
                // Swapped for a link or a file meanwhile: removed as one.
                if (::unlinkat(here.get(), name.c_str(), 0) != 0 && errno != ENOENT)
                    level.kept.insert(std::move(name));
                continue;
            }
            if (!sub || ::fstat(sub.get(), &info) != 0 || info.st_dev != device) {
                if (sub || errno != ENOENT)
                    level.kept.insert(std::move(name));
                continue;
            }
            levels.push_back({std::move(name), info.st_dev, info.st_ino, {}, {}, true});
            here = std::move(sub);
            continue;
        }
        if (level.scan) {
            scanToEmpty(here.get(), level);
            continue;
        }
        if (levels.size() == 1)
            return level.kept.empty();
        FileDescriptor up(::openat(here.get(), "..", folderFlags));
        const std::string name = std::move(level.name);
        levels.pop_back();
        RemovalLevel& parent = levels.back();
        if (!up || ::fstat(up.get(), &info) != 0 || info.st_dev != parent.device ||
            info.st_ino != parent.inode)
            return false; // moved away meanwhile: what is below it is no longer ours to remove
        here = std::move(up);
        if (::unlinkat(here.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            parent.kept.insert(name);
    }
}

} // namespace

bool removeTree(const std::filesystem::path& path) noexcept {
    try {
        std::filesystem::path target = path;
        if (!target.has_filename())
            target = target.parent_path();
        const std::string name = target.filename().string();
        if (name.empty() || name == "." || name == "..")
            return false;
        const std::filesystem::path above = target.has_parent_path() ? target.parent_path() : ".";
        FileDescriptor parent(::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat info {};
        if (!parent || ::fstatat(parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT;
        if (S_ISDIR(info.st_mode)) {
            FileDescriptor root = openToEmpty(parent.get(), name.c_str());
            if (root) {
                if (!emptyFolder(std::move(root)))
                    return false;
                return ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
            }
            if (errno == ENOENT)
                return true;
            if (errno != ELOOP && errno != ENOTDIR)
                return false;
            // Swapped for a link or a file meanwhile: removed as one.
        }
        return ::unlinkat(parent.get(), name.c_str(), 0) == 0 || errno == ENOENT;
    } catch (...) {
        return false;
    }
}

} // namespace quorvane
