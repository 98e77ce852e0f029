#pragma once

// Renames that never leave a name empty or replace what they must not.

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "base/FileIo.h"

namespace quorvane {

// Moves `from` to `to`, both relative to the folder open at `dir` (or AT_FDCWD), in one step:
// the two items change places when `swap`; otherwise nothing already at `to` is replaced. Throws
// the POSIX error (EIO when errno gives none).
void moveIntoPlace(int dir, const std::filesystem::path& from, const std::filesystem::path& to,
                   bool swap);

// Renames `from` to `to` in one step, failing with EEXIST instead of replacing anything at `to`.
// A file system that does not know how is given a hard link instead, just as unwilling to
// replace.
void moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// A new file for `name` in the folder open at `dir`, written under a hidden name of its own
// beside it and renamed over `name` by commit(), so that readers see the old file or the new one
// whole. Removed if it goes away uncommitted. Throws the platform error.
class ReplacementFile {
public:
    ReplacementFile(int dir, std::string name, mode_t mode = 0644);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    int fd() const noexcept { return fd_.get(); }
    void write(std::span<const char> data);
    // Puts the data on disk.
    void sync();
    // Syncs the data, then renames it over `name`.
    void commit();

private:
    int dir_;
    std::string name_;
    std::string temporary_;
    FileDescriptor fd_;
    bool committed_ = false;
};

// `contents` as the whole of `name` in the folder open at `dir`, through a ReplacementFile.
void replaceFile(int dir, const std::string& name, std::string_view contents, mode_t mode = 0644);

} // namespace quorvane
