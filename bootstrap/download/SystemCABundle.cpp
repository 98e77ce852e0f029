#include "download/SystemCABundle.h"

namespace quorvane {

std::filesystem::path findCABundle(std::span<const char* const> candidates) {
    for (const char* candidate : candidates) {
        std::error_code ec;
        const std::filesystem::path path(candidate);
        if (std::filesystem::is_regular_file(path, ec) &&
            std::filesystem::file_size(path, ec) > 0 && !ec)
            return path;
    }
    return {};
}

} // namespace quorvane
