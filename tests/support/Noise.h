#pragma once

#include <cstddef>
#include <string>

namespace quorvane::test {

// Bytes that differ from chunk to chunk and do not compress, so that a chunk put in the wrong
// place shows; the same `seed` gives the same bytes.
std::string noise(std::size_t length, unsigned seed = 3);

} // namespace quorvane::test
