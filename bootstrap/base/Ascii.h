#pragma once

#include <string>
#include <string_view>

namespace quorvane {

// `text` with A-Z made a-z and every other byte as it is: protocol words, hex digits and digest
// names, never the user's language.
inline std::string lowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

} // namespace quorvane
