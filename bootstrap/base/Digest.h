#pragma once

#include <stop_token>
#include <string>

namespace quorvane {

// SHA-256 of everything from the file's current position to its end, as 64 lower-case hex
// digits, read in 1 MiB chunks. Throws CancellationError before a chunk once `stop` is
// requested, and the platform error when a read fails.
std::string sha256Hex(int fd, const std::stop_token& stop);

} // namespace quorvane
