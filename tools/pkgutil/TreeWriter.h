#pragma once

// Creates files, folders and links below one root folder without ever following a link on the
// way: every step is an openat with O_NOFOLLOW from the root's descriptor, so an entry can never
// land outside the root, whatever links earlier entries made.

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

// Splits an archive entry's path into components: refuses absolute paths, ".." and NUL; drops
// "." and empty components ("./a//b" is {"a", "b"}; "." is the root itself, {}).
RelativePath splitEntryPath(std::string_view path);
std::string joinPath(const RelativePath& path);

class TreeWriter {
public:
    explicit TreeWriter(FileDescriptor root);

    // Folders are created owner-writable; their recorded modes are applied by finish().
    void makeDirectory(const RelativePath& path, std::uint32_t mode);
    // A new regular file (never an existing one) opened for writing.
    FileDescriptor createFile(const RelativePath& path, std::uint32_t mode);
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

    FileDescriptor root_;
    std::vector<std::pair<RelativePath, std::uint32_t>> directoryModes_;
    std::vector<RelativePath> symlinks_;
};

} // namespace quorvane::tools
