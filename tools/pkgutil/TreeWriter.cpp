#include "TreeWriter.h"
#include "base/FileIo.h"

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
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A long path's start, for a message.
std::string abbreviated(const RelativePath& path) {
    const std::string text = joinPath(path);
    if (text.size() <= 80)
        return text;
    const std::size_t cut = text.rfind('/', 80);
    return text.substr(0, cut == std::string::npos ? 80 : cut) + "/...";
}

// Component by component, so that a folder comes right before what it holds.
bool componentsBefore(std::string_view a, std::string_view b) {
    const auto key = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c); };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return key(x) < key(y); });
}

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

TreeWriter::TreeWriter(FileDescriptor root, Bookkeeping& bookkeeping, PathBudget& work)
    : root_(std::move(root)), bookkeeping_(bookkeeping), work_(work) {}

void TreeWriter::charge(const RelativePath& path) {
    if (path.size() > maxPathDepth)
        throw UnsafeEntry("path more than " + std::to_string(maxPathDepth) +
                          " levels deep: " + abbreviated(path));
    work_.charge(path.size());
}

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

int TreeWriter::folder(const RelativePath& path, std::size_t count) {
    std::size_t same = 0;
    while (same < count && same < open_.size() && open_[same].name == path[same])
        ++same;
    open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(same), open_.end());
    // The open folders end the path; when none of those left is open, walk again from the root.
    if (!open_.empty() && !open_.back().fd)
        open_.clear();
    while (open_.size() < count) {
        const int dir = open_.empty() ? root_.get() : open_.back().fd.get();
        const char* name = path[open_.size()].c_str();
        FileDescriptor next(::openat(dir, name, folderFlags));
        bool made = false;
        if (!next && errno == ENOENT) {
            made = ::mkdirat(dir, name, 0700) == 0;
            if (!made && errno != EEXIST)
                throwErrno(joinPath(path));
            next = FileDescriptor(::openat(dir, name, folderFlags));
        }
        if (!next) {
            if (errno == ELOOP || errno == ENOTDIR)
                throw UnsafeEntry("path runs through a link or a file: " + joinPath(path));
            throwErrno(joinPath(path));
        }
        // A folder the archive never lists gets the usual mode; a later entry may change it.
        if (made && ::fchmod(next.get(), 0755) != 0)
            throwErrno(joinPath(path));
        keepOpen(path[open_.size()], std::move(next));
    }
    return count == 0 ? root_.get() : open_[count - 1].fd.get();
}

void TreeWriter::keepOpen(const std::string& name, FileDescriptor fd) {
    open_.push_back({name, std::move(fd)});
    if (open_.size() > maxOpenFolders)
        open_[open_.size() - 1 - maxOpenFolders].fd.reset();
}

void TreeWriter::makeDirectory(const RelativePath& path, std::uint32_t mode) {
    charge(path);
    if (path.empty()) {
        setDirectoryMode(root_.get(), path, mode);
        return;
    }
    const int parent = parentOf(path);
    if (::mkdirat(parent, path.back().c_str(), 0700) != 0 && errno != EEXIST)
        throwErrno(joinPath(path));
    FileDescriptor dir(::openat(parent, path.back().c_str(), folderFlags));
    if (!dir) {
        if (errno == ELOOP || errno == ENOTDIR)
            throw UnsafeEntry("folder over an existing entry: " + joinPath(path));
        throwErrno(joinPath(path));
    }
    setDirectoryMode(dir.get(), path, mode);
    // What follows a folder's entry usually goes into it.
    keepOpen(path.back(), std::move(dir));
}

FileDescriptor TreeWriter::createFile(const RelativePath& path, std::uint32_t mode) {
    if (path.empty())
        throw UnsafeEntry("a file in place of the folder itself");
    charge(path);
    const int parent = parentOf(path);
    FileDescriptor file(::openat(parent, path.back().c_str(),
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
    charge(path);
    const int parent = parentOf(path);
    const char* name = path.back().c_str();
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        throwErrno(joinPath(path));
    if (!S_ISREG(st.st_mode))
        throw UnsafeEntry("data for something other than a file: " + joinPath(path));
    const int flags = O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    FileDescriptor file(::openat(parent, name, flags));
    if (!file && errno == EACCES) {
        // An earlier name's entry left it read-only; it is the regular file checked above.
        if (::fchmodat(parent, name, 0600, 0) != 0)
            throwErrno(joinPath(path));
        file = FileDescriptor(::openat(parent, name, flags));
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
    charge(path);
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
    if (::symlinkat(std::string(target).c_str(), parentOf(path), path.back().c_str()) != 0) {
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
    charge(existing);
    charge(path);
    // Its own descriptor: walking to the new name may close the folders of the old one.
    FileDescriptor fromDir(::fcntl(parentOf(existing), F_DUPFD_CLOEXEC, 0));
    if (!fromDir)
        throwErrno("dup");
    struct stat st {};
    if (::fstatat(fromDir.get(), existing.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        throw UnsafeEntry("hard link to something other than an earlier file: " + joinPath(path));
    const int toDir = parentOf(path);
    if (::linkat(fromDir.get(), existing.back().c_str(), toDir, path.back().c_str(), 0) != 0) {
        if (errno == EEXIST)
            throw UnsafeEntry("entry written twice: " + joinPath(path));
        throwErrno(joinPath(path));
    }
}

FileDescriptor TreeWriter::openDirectory(const RelativePath& path) {
    charge(path);
    FileDescriptor dir(::fcntl(folder(path, path.size()), F_DUPFD_CLOEXEC, 0));
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
    // What a folder holds before the folder, so that a read-only folder does not block the
    // modes below it; and each subtree together, so that the walk from one to the next is short.
    auto modes = std::move(directoryModes_);
    directoryModes_.clear();
    std::stable_sort(modes.begin(), modes.end(), [](const auto& a, const auto& b) {
        return componentsBefore(b.first, a.first);
    });
    for (const auto& [joined, mode] : modes) {
        const RelativePath path = joined.empty() ? RelativePath{} : splitEntryPath(joined);
        charge(path);
        if (::fchmod(folder(path, path.size()), mode) != 0)
            throwErrno(joined.empty() ? "." : joined);
        bookkeeping_.give(Bookkeeping::costOf(joined.size()));
    }
    closeFolders();
}

} // namespace quorvane::tools
