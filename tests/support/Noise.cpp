#include "Noise.h"

#include <random>

namespace quorvane::test {

std::string noise(std::size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

} // namespace quorvane::test
