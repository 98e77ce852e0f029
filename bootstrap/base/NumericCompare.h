#pragma once

#include <compare>
#include <string_view>

namespace quorvane {

// Orders runs of ASCII digits by their numeric value (of any length) and every other byte one
// by one, so that "2.10" comes after "2.9". Runs of equal value with different leading zeros
// compare equal.
std::strong_ordering compareNumerically(std::string_view a, std::string_view b) noexcept;

} // namespace quorvane
