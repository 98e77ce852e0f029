#pragma once

// Creates files, folders and links below one root folder without ever following a link on the
// way: every step is an openat with O_NOFOLLOW from the root's descriptor, so an entry can never
// land outside the root, whatever links earlier entries made.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "FileIo.h"

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
    TreeWriter(FileDescriptor root, Bookkeeping& bookkeeping);

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

private:
    FileDescriptor openParent(const RelativePath& path);
    void setDirectoryMode(int fd, const RelativePath& path, std::uint32_t mode);

    FileDescriptor root_;
    Bookkeeping& bookkeeping_;
    std::vector<std::pair<std::string, std::uint32_t>> directoryModes_; // joined paths
    std::vector<std::string> symlinks_;
};

} // namespace quorvane::tools
