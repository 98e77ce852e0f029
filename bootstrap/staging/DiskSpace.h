#pragma once

#include <cstdint>
#include <filesystem>

namespace quorvane {

// Throws BootstrapFailure::insufficientSpace unless the file system holding `directory` has
// `bytes` available to this user.
void requireRoom(const std::filesystem::path& directory, std::uint64_t bytes);

} // namespace quorvane
