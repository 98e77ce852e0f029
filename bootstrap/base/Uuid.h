#pragma once

#include <string>

namespace quorvane {

// A new random (version 4) UUID in its canonical 36-character form with upper-case digits.
// Throws std::runtime_error when no random bytes can be had.
std::string randomUuid();

} // namespace quorvane
