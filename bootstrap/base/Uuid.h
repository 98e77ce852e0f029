#pragma once

#include <string>
#include <string_view>

namespace quorvane {

// A new random (version 4) UUID in its canonical 36-character form with upper-case digits.
// Throws std::runtime_error when no random bytes can be had.
std::string randomUuid();

// Whether `name` is `prefix` followed by a UUID in the form randomUuid() gives: the names of
// folders this program made and may sweep.
bool isPrefixedUuid(std::string_view name, std::string_view prefix) noexcept;

} // namespace quorvane
