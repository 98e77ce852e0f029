#pragma once

#include <string>
#include <string_view>

namespace quorvane::test {

// Lower-case hex SHA-256 of `data`.
std::string sha256Hex(std::string_view data);
// `size` bytes that do not repeat in any short period.
std::string randomBytes(std::size_t size, unsigned seed = 1);

} // namespace quorvane::test
