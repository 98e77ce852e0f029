#include "package/SignatureVerdict.h"
#include "base/Utf8Decoder.h"

#include <string>

#include <gtest/gtest.h>

using quorvane::SignatureVerdict;
using quorvane::Utf8Decoder;

namespace {

const std::string R = "\xEF\xBF\xBD"; // U+FFFD

std::string decodeInTwo(const std::string& bytes, std::size_t split) {
    Utf8Decoder decoder;
    std::string out;
    decoder.decode(std::string_view(bytes).substr(0, split), out);
    decoder.decode(std::string_view(bytes).substr(split), out);
    decoder.finish(out);
    return out;
}

const std::string kGood = "Package \"Quorvane Pro.pkg\":\n"
                          "   Status: signed by a certificate trusted by macOS\n"
                          "   Certificate Chain:\n"
                          "    1. Developer ID Installer: Quorvane Labs (Q4ZT8WX2LM)\n";

} // namespace

// Every split of the input into two pieces must give what the whole input gives.
TEST(Utf8Decoder, ReplacesEachMaximalInvalidSubpartWhereverThePiecesSplit) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain ascii", "plain ascii"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"a\xFF"
         "b",
         "a" + R + "b"},
        {"\xE2\x82(", R + "("},              // truncated lead must not swallow "("
        {"\xF0\x9F\x98", R},                 // unfinished at the end
        {"\xC0\xAF", R + R},                 // overlong
        {"\xED\xA0\x80", R + R + R},         // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R}, // above U+10FFFF
        {"\x80\xBF", R + R},                 // lone continuations
        {"x\xE0\xA0"
         "y\xF0\x90\x80",
         "x" + R + "y" + R},
    };
    for (const auto& c : cases)
        for (std::size_t split = 0; split <= c.in.size(); ++split)
            EXPECT_EQ(decodeInTwo(c.in, split), c.out)
                << "input " << ::testing::PrintToString(c.in) << " split at " << split;
}

TEST(SignatureVerdict, FindsTheTextsWhereverTheOutputIsSplit) {
    // A truncated sequence right before the team marker must not eat its "(".
    const std::size_t team = kGood.find("(Q4ZT8WX2LM)");
    const std::string noisy =
        "\xFF\xFE" + kGood.substr(0, team) + "\xE2\x82" + kGood.substr(team) + "\xC0";
    for (std::size_t split = 0; split <= noisy.size(); ++split) {
        SignatureVerdict verdict;
        verdict.feed(std::string_view(noisy).substr(0, split));
        verdict.feed(std::string_view(noisy).substr(split));
        EXPECT_TRUE(verdict.accepts(0)) << "split at " << split;
    }
}
