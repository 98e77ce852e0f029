#include "TreeWriter.h"
#include "FileIo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorvane::tools {
namespace {

constexpr std::size_t maxPathLength = 4096;
constexpr std::size_t maxComponentLength = 255;

} // namespace

RelativePath splitEntryPath(std::string_view path) {
    if (path.size() > maxPathLength || path.find('\0') != std::string_view::npos)
        throw UnsafeEntry("unusable path: " + std::string(path));
    if (path.starts_with('/'))
        throw UnsafeEntry("absolute path: " + std::string(path));
    RelativePath parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view part = path.substr(start, end - start);
        if (part == "..")
            throw UnsafeEntry("path leaves the folder: " + std::string(path));
        if (part.size() > maxComponentLength)
            throw UnsafeEntry("unusable path: " + std::string(path));
        if (!part.empty() && part != ".")
            parts.emplace_back(part);
        start = end + 1;
    }
    return parts;
}

std::string joinPath(const RelativePath& path) {
    std::string text;
    for (const auto& part : path) {
        if (!text.empty())
            text += '/';
        text += part;
    }
    return text.empty() ? "." : text;
}

TreeWriter::TreeWriter(FileDescriptor root, Bookkeeping& bookkeeping)
    : root_(std::move(root)), bookkeeping_(bookkeeping) {}

void TreeWriter::setDirectoryMode(int fd, const RelativePath& path, std::uint32_t mode) {
    mode = safeMode(mode);
    if ((mode & 0700) == 0700) {
        if (::fchmod(fd, mode) != 0)
            throwErrno(joinPath(path));
        return;
    }
    // Owner rwx until the end: the mkdir mode went through the umask, and entries still come.
    if (::fchmod(fd, 0700) != 0)
        throwErrno(joinPath(path));
    std::string joined = path.empty() ? std::string() : joinPath(path);
    bookkeeping_.take(Bookkeeping::costOf(joined.size()));
    directoryModes_.emplace_back(std::move(joined), mode);
}

FileDescriptor TreeWriter::openParent(const RelativePath& path) {
    FileDescriptor dir(::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (!dir)
        throwErrno("dup");
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        const char* name = path[i].c_str();
        const bool made = ::mkdirat(dir.get(), name, 0700) == 0;
        if (!made && errno != EEXIST)
            throwErrno(joinPath(path));
        FileDescriptor next(
            ::openat(dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            if (errno == ELOOP || errno == ENOTDIR)
                throw UnsafeEntry("path runs through a link or a file: " + joinPath(path));
            throwErrno(joinPath(path));
        }
        // A folder the archive never lists gets the usual mode; a later entry may change it.
        if (made && ::fchmod(next.get(), 0755) != 0)
            throwErrno(joinPath(path));
        dir = std::move(next);
    }
    return dir;
}

void TreeWriter::makeDirectory(const RelativePath& path, std::uint32_t mode) {
    if (path.empty()) {
        setDirectoryMode(root_.get(), path, mode);
        return;
    }
    FileDescriptor parent = openParent(path);
    if (::mkdirat(parent.get(), path.back().c_str(), 0700) != 0 && errno != EEXIST)
        throwErrno(joinPath(path));
    FileDescriptor dir(::openat(parent.get(), path.back().c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        if (errno == ELOOP || errno == ENOTDIR)
            throw UnsafeEntry("folder over an existing entry: " + joinPath(path));
        throwErrno(joinPath(path));
    }
    setDirectoryMode(dir.get(), path, mode);
}

FileDescriptor TreeWriter::createFile(const RelativePath& path, std::uint32_t mode) {
    if (path.empty())
        throw UnsafeEntry("a file in place of the folder itself");
    FileDescriptor parent = openParent(path);
    FileDescriptor file(::openat(parent.get(), path.back().c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) {
        if (errno == EEXIST)
            throw UnsafeEntry("entry written twice: " + joinPath(path));
        throwErrno(joinPath(path));
    }
    if (::fchmod(file.get(), safeMode(mode)) != 0)
        throwErrno(joinPath(path));
    return file;
}

FileDescriptor TreeWriter::rewriteFile(const RelativePath& path, std::uint32_t mode) {
    if (path.empty())
        throw UnsafeEntry("a file in place of the folder itself");
    FileDescriptor parent = openParent(path);
    const char* name = path.back().c_str();
    struct stat st {};
    if (::fstatat(parent.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        throwErrno(joinPath(path));
    if (!S_ISREG(st.st_mode))
        throw UnsafeEntry("data for something other than a file: " + joinPath(path));
    const int flags = O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    FileDescriptor file(::openat(parent.get(), name, flags));
    if (!file && errno == EACCES) {
        // An earlier name's entry left it read-only; it is the regular file checked above.
        if (::fchmodat(parent.get(), name, 0600, 0) != 0)
            throwErrno(joinPath(path));
        file = FileDescriptor(::openat(parent.get(), name, flags));
    }
    if (!file)
        throwErrno(joinPath(path));
    if (::fchmod(file.get(), safeMode(mode)) != 0)
        throwErrno(joinPath(path));
    return file;
}

void TreeWriter::makeSymlink(const RelativePath& path, std::string_view target) {
    if (path.empty() || target.empty() || target.size() > maxPathLength ||
        target.find('\0') != std::string_view::npos)
        throw UnsafeEntry("unusable link: " + joinPath(path));
    if (target.starts_with('/'))
        throw UnsafeEntry("link to an absolute path: " + joinPath(path));
    // Resolve the text from the link's folder; it must never climb above the root.
    std::size_t depth = path.size() - 1;
    std::size_t start = 0;
    while (start <= target.size()) {
        const std::size_t end = std::min(target.find('/', start), target.size());
        const std::string_view part = target.substr(start, end - start);
        if (part == "..") {
            if (depth == 0)
                throw UnsafeEntry("link leaves the folder: " + joinPath(path));
            --depth;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
    FileDescriptor parent = openParent(path);
    if (::symlinkat(std::string(target).c_str(), parent.get(), path.back().c_str()) != 0) {
        if (errno == EEXIST)
            throw UnsafeEntry("entry written twice: " + joinPath(path));
        throwErrno(joinPath(path));
    }
    std::string joined = joinPath(path);
    bookkeeping_.take(Bookkeeping::costOf(joined.size()));
    symlinks_.push_back(std::move(joined));
}

void TreeWriter::makeHardlink(const RelativePath& path, const RelativePath& existing) {
    if (path.empty() || existing.empty())
        throw UnsafeEntry("unusable hard link: " + joinPath(path));
    FileDescriptor fromDir = openParent(existing);
    struct stat st {};
    if (::fstatat(fromDir.get(), existing.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        throw UnsafeEntry("hard link to something other than an earlier file: " + joinPath(path));
    FileDescriptor toDir = openParent(path);
    if (::linkat(fromDir.get(), existing.back().c_str(), toDir.get(), path.back().c_str(), 0) !=
        0) {
        if (errno == EEXIST)
            throw UnsafeEntry("entry written twice: " + joinPath(path));
        throwErrno(joinPath(path));
    }
}

FileDescriptor TreeWriter::openDirectory(const RelativePath& path) {
    if (path.empty())
        return FileDescriptor(::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    FileDescriptor parent = openParent(path);
    FileDescriptor dir(::openat(parent.get(), path.back().c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir)
        throwErrno(joinPath(path));
    return dir;
}

void TreeWriter::checkLinks() const {
    // Links through other links can still end up outside although each text looked harmless;
    // let the kernel resolve each one, confined to the root.
    for (const auto& link : symlinks_) {
        open_how how{};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const std::string& relative = link;
        const long fd = ::syscall(SYS_openat2, root_.get(), relative.c_str(), &how, sizeof how);
        if (fd >= 0) {
            ::close(static_cast<int>(fd));
            continue;
        }
        if (errno == EXDEV)
            throw UnsafeEntry("link leaves the folder: " + relative);
        // Dangling links and loops stay harmless inside; an old kernel without openat2 has
        // only the textual check above.
        if (errno != ENOENT && errno != ELOOP && errno != ENOSYS && errno != ENOTDIR)
            throwErrno(relative);
    }
}

void TreeWriter::applyModes() {
    // Deepest first, so a read-only folder does not block the modes below it.
    auto modes = std::move(directoryModes_);
    directoryModes_.clear();
    const auto depth = [](const std::string& path) {
        return path.empty() ? 0 : 1 + std::count(path.begin(), path.end(), '/');
    };
    std::stable_sort(modes.begin(), modes.end(),
                     [&](const auto& a, const auto& b) { return depth(a.first) > depth(b.first); });
    for (const auto& [joined, mode] : modes) {
        FileDescriptor dir =
            openDirectory(joined.empty() ? RelativePath{} : splitEntryPath(joined));
        if (::fchmod(dir.get(), mode) != 0)
            throwErrno(joined.empty() ? "." : joined);
        bookkeeping_.give(Bookkeeping::costOf(joined.size()));
    }
}

} // namespace quorvane::tools
