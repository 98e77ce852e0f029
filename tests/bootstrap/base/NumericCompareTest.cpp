#include "base/NumericCompare.h"

#include <string>

#include <gtest/gtest.h>

using quorvane::compareNumerically;

TEST(NumericCompare, OrdersDigitRunsByValueAndOtherCharactersOneByOne) {
    const std::string forty9s(40, '9');
    const std::string one40 = "1" + std::string(39, '0'); // 10^39: 40 digits
    const std::string two40 = "2" + std::string(39, '0');
    struct Case {
        std::string a, b;
        std::strong_ordering expected;
    };
    const Case cases[] = {
        {"2.10", "2.9", std::strong_ordering::greater},
        {"1.2.10", "1.2.9", std::strong_ordering::greater},
        {"2.9.1000", "2.9.412", std::strong_ordering::greater}, // not text order
        {"2.9", "2.9", std::strong_ordering::equal},
        {"1.2", "1.2.0", std::strong_ordering::less}, // a prefix orders first
        {"007", "7", std::strong_ordering::equal},    // leading zeros carry no value
        {"1.010", "1.9", std::strong_ordering::greater},
        {"10", "9.9", std::strong_ordering::greater},
        {"a10", "a9", std::strong_ordering::greater},
        {"b1", "a9", std::strong_ordering::greater}, // characters before numbers
        {"1.10a", "1.10b", std::strong_ordering::less},
        {"1.x", "1.9", std::strong_ordering::greater}, // '9' < 'x' byte-wise
        {"", "0", std::strong_ordering::less},
        {"", "", std::strong_ordering::equal},
        // Runs far beyond 64 bits compare by value, without overflow.
        {one40, forty9s.substr(1), std::strong_ordering::greater},
        {two40, one40, std::strong_ordering::greater},
        {"1." + one40 + ".5", "1." + one40 + ".40", std::strong_ordering::less},
        {"0000" + one40, one40, std::strong_ordering::equal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a + " vs " + c.b);
        EXPECT_EQ(compareNumerically(c.a, c.b), c.expected);
        // The reverse question gives the reverse answer.
        EXPECT_EQ(compareNumerically(c.b, c.a), 0 <=> (c.expected <=> 0));
    }
}
