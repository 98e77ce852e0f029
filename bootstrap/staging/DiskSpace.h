#pragma once

#include <cstdint>
#include <filesystem>

namespace quorvane {

// Throws ENOSPC (as std::system_error, which the installer shows as its out-of-space failure)
// unless the file system holding `directory` has `bytes` available to this user.
void requireRoom(const std::filesystem::path& directory, std::uint64_t bytes);

} // namespace quorvane
