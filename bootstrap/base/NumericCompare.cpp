#include "base/NumericCompare.h"

namespace quorvane {
namespace {

bool isDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// The run of digits starting at `pos`, advancing `pos` past it, without its leading zeros.
std::string_view digitRun(std::string_view s, std::size_t& pos) noexcept {
    const std::size_t start = pos;
    while (pos < s.size() && isDigit(s[pos]))
        ++pos;
    std::string_view run = s.substr(start, pos - start);
    while (run.size() > 1 && run.front() == '0')
        run.remove_prefix(1);
    return run;
}

} // namespace

std::strong_ordering compareNumerically(std::string_view a, std::string_view b) noexcept {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compared as text once the leading zeros are gone: a longer run is a larger
            // number, equal lengths order like their digits. No integer type can overflow.
            const std::string_view x = digitRun(a, i);
            const std::string_view y = digitRun(b, j);
            if (x.size() != y.size())
                return x.size() <=> y.size();
            if (const auto order = x.compare(y); order != 0)
                return order <=> 0;
            continue;
        }
        const auto x = static_cast<unsigned char>(a[i++]);
        const auto y = static_cast<unsigned char>(b[j++]);
        if (x != y)
            return x <=> y;
    }
    return (a.size() - i) <=> (b.size() - j);
}

} // namespace quorvane
