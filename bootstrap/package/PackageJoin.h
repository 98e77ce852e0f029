#pragma once

#include <cstdint>
#include <functional>

namespace quorvane {

// Joins a package in place. `tail` holds the package's last `d` bytes; it grows by `n`, its
// bytes move up by `n` from its end backwards in 1 MiB chunks (the target overlaps the source
// above it, so nothing is overwritten before it was read), and the first `n` bytes of `prefix`
// are copied over its start. `checkpoint` runs before every chunk and stops the work by
// throwing. Throws BootstrapFailure::size when either file turns out shorter than claimed, and
// the platform error for any failing call.
void joinInPlace(int prefix, int tail, std::uint64_t n, std::uint64_t d,
                 const std::function<void()>& checkpoint);

} // namespace quorvane
