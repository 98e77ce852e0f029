#pragma once

// Renames that never leave a name empty or replace what they must not.

#include <filesystem>

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

} // namespace quorvane
