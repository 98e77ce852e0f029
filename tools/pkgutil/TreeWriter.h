#pragma once

// Creates files, folders and links below one root folder without ever following a link on the
// way: every step is an openat with O_NOFOLLOW from the root's descriptor, so an entry can never
// land outside the root, whatever links earlier entries made. The deepest folders of the last
// path stay open, so the next entry in or below them costs no walk from the root, however deep it
// lies.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/FileIo.h"

namespace quorvane::tools {

class UnsafeEntry : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using RelativePath = std::vector<std::string>;

// Bytes the expansion keeps until its end (folder modes still to apply, links still to check,
// names of files with more links to come), so that what it keeps per entry is bounded in bytes
// whatever the entries' number and length.
class Bookkeeping {
public:
    explicit Bookkeeping(std::uint64_t limit) : limit_(limit) {}
    // What one kept name costs: its text and the containers' share, roughly.
    static std::uint64_t costOf(std::size_t textBytes) { return textBytes + 96; }
    void take(std::uint64_t bytes) {
        if (bytes > limit_ - used_)
            throw UnsafeEntry("the package holds too many folders and links to track");
        used_ += bytes;
    }
    void give(std::uint64_t bytes) { used_ -= std::min(bytes, used_); }
    std::uint64_t used() const { return used_; }

private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

// Components a path may have: twice what an installable app can use (the code-signing check
// refuses folders nested more than 128 deep), while the kernel's work on every entry grows with
// its depth.
inline constexpr std::size_t maxPathDepth = 256;
// Folders of the current path kept open: a deeper path holds no more descriptors; climbing above
// them walks again from the root.
inline constexpr std::size_t maxOpenFolders = 16;

// The components of every path walked, all entries together: deep paths cost work even where
// they cost few bytes. Counts like the byte budget, and never passes its limit.
class PathBudget {
public:
    explicit PathBudget(std::uint64_t limit) : limit_(limit) {}
    void charge(std::uint64_t components) {
        if (components > limit_ - used_)
            throw UnsafeEntry("the package's paths hold too many folders for its size");
        used_ += components;
    }
    std::uint64_t used() const { return used_; }

private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

// The modes written: no write access for group or others, no setuid, setgid or sticky bit.
constexpr std::uint32_t safeMode(std::uint32_t mode) {
    return mode & 0755;
}

// Splits an archive entry's path into components: refuses absolute paths, ".." and NUL; drops
// "." and empty components ("./a//b" is {"a", "b"}; "." is the root itself, {}).
RelativePath splitEntryPath(std::string_view path);
std::string joinPath(const RelativePath& path);

class TreeWriter {
public:
    TreeWriter(FileDescriptor root, Bookkeeping& bookkeeping, PathBudget& work);

    // Folders get the owner's rwx whatever the umask, so that entries can go in; a mode that
    // lacks any of these is recorded and applied by applyModes(), the others at once.
    void makeDirectory(const RelativePath& path, std::uint32_t mode);
    // A new regular file (never an existing one) opened for writing.
    FileDescriptor createFile(const RelativePath& path, std::uint32_t mode);
    // An existing regular file below the root, emptied and opened for writing, with `mode`.
    FileDescriptor rewriteFile(const RelativePath& path, std::uint32_t mode);
    // A link whose target, read from the link's own folder, stays below the root.
    void makeSymlink(const RelativePath& path, std::string_view target);
    // A second name for a regular file already written below the root.
    void makeHardlink(const RelativePath& path, const RelativePath& existing);
    // Checks that every link made resolves below the root.
    void checkLinks() const;
    // Applies the folders' recorded modes; the last step, since it may take write access away.
    void applyModes();

    // An existing folder below the root, opened without following links.
    FileDescriptor openDirectory(const RelativePath& path);
    // Closes the folders kept open for the next entry.
    void closeFolders() { open_.clear(); }

private:
    struct OpenFolder {
        std::string name;
        FileDescriptor fd;
    };

    // Checks the depth and charges the path's components to the work budget.
    void charge(const RelativePath& path);
    // The folder of the first `count` components of `path`, made where missing, kept open.
    int folder(const RelativePath& path, std::size_t count);
    int parentOf(const RelativePath& path) { return folder(path, path.size() - 1); }
    void keepOpen(const std::string& name, FileDescriptor fd);
    void setDirectoryMode(int fd, const RelativePath& path, std::uint32_t mode);

    FileDescriptor root_;
    Bookkeeping& bookkeeping_;
    PathBudget& work_;
    // The folders of the last path walked, from the root down; only the deepest are open.
    std::vector<OpenFolder> open_;
    std::vector<std::pair<std::string, std::uint32_t>> directoryModes_; // joined paths
    std::vector<std::string> symlinks_;
};

} // namespace quorvane::tools
