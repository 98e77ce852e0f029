// The xar header and table-of-contents reader: what it accepts and the malformed or ambiguous
// tables it must refuse.

#include "XarToc.h"

#include <gtest/gtest.h>
#include <zlib.h>

using namespace quorvane::tools;

namespace {

std::string toc(const std::string& files) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar><toc>"
           "<checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum>" +
           files + "</toc></xar>";
}

const std::string payloadFile =
    "<file id=\"1\"><name>Payload</name><type>file</type><mode>0644</mode><data>"
    "<offset>20</offset><length>5</length><size>5</size>"
    "<encoding style=\"application/octet-stream\"/>"
    "<archived-checksum style=\"SHA1\">A9993E364706816ABA3E25717850C26C9CD0D89D</archived-checksum>"
    "</data></file>";

std::string header(std::uint64_t compressed, std::uint64_t uncompressed, std::uint32_t alg) {
    std::string h = "xar!";
    for (std::uint64_t v : {std::uint64_t{28} << 48 | std::uint64_t{1} << 32}) // size, version
        for (int shift = 56; shift >= 32; shift -= 8)
            h += static_cast<char>((v >> shift) & 0xFF);
    for (std::uint64_t v : {compressed, uncompressed})
        for (int shift = 56; shift >= 0; shift -= 8)
            h += static_cast<char>((v >> shift) & 0xFF);
    for (int shift = 24; shift >= 0; shift -= 8)
        h += static_cast<char>((alg >> shift) & 0xFF);
    return h;
}

} // namespace

TEST(XarToc, ReadsMembersNestedFoldersAndSignatures) {
    const XarToc t = parseToc(
        toc("<signature style=\"RSA\"><offset>20</offset><size>256</size><KeyInfo><X509Data>"
            "<X509Certificate>\n  AAEC\nAw==\n</X509Certificate></X509Data></KeyInfo></signature>"
            "<file id=\"9\"><name>com.x.pkg</name><type>directory</type>" +
            payloadFile +
            "</file><!-- a comment --><file id=\"2\"><name>A&amp;B &#x263A;</name></file>"));
    ASSERT_TRUE(t.checksum);
    EXPECT_EQ(t.checksum->style, "sha1");
    ASSERT_TRUE(t.signature);
    EXPECT_EQ(t.signature->certificates, std::vector<std::string>{std::string("\0\1\2\3", 4)});
    ASSERT_EQ(t.files.size(), 2u);
    const XarFile& payload = t.files[0].children.at(0);
    EXPECT_EQ(payload.name, "Payload");
    EXPECT_EQ(payload.mode, 0644u);
    EXPECT_EQ(payload.data->archived->hex, "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(t.files[1].name, "A&B \xE2\x98\xBA");
}

TEST(XarToc, RefusesMalformedAndAmbiguousTables) {
    std::string nested;
    for (int i = 0; i < 100; ++i)
        nested += "<a>";
    for (int i = 0; i < 100; ++i)
        nested += "</a>";
    const std::pair<const char*, std::string> cases[] = {
        {"document type", "<!DOCTYPE xar [<!ENTITY e \"x\">]><xar><toc/></xar>"},
        {"unknown entity", toc("<file><name>&e;</name></file>")},
        {"CDATA", toc("<file><name><![CDATA[x]]></name></file>")},
        {"processing instruction", toc("<?evil?>")},
        {"mismatched tags", "<xar><toc></xar></toc>"},
        {"unterminated", "<xar><toc>"},
        {"two roots", "<xar><toc/></xar><xar/>"},
        {"nested too deeply", "<xar><toc>" + nested + "</toc></xar>"},
        {"duplicate attribute", "<xar a=\"1\" a=\"2\"><toc/></xar>"},
        {"NUL character reference", toc("<file><name>a&#0;</name></file>")},
        {"surrogate reference", toc("<file><name>&#xD800;</name></file>")},
        {"wrong root", "<rax><toc/></rax>"},
        {"name with a slash", toc("<file><name>../x</name></file>")},
        {"dot-dot name", toc("<file><name>..</name></file>")},
        {"empty name", toc("<file><name></name></file>")},
        {"two different names", toc("<file><name>Payload</name><name>Other</name></file>")},
        {"duplicate members", toc(payloadFile + payloadFile)},
        {"symlink member", toc("<file><name>l</name><type>symlink</type></file>")},
        {"offset overflow",
         toc("<file><name>p</name><data><offset>18446744073709551615</offset><length>2</length>"
             "<size>2</size></data></file>")},
        {"number too large",
         toc("<file><name>p</name><data><offset>18446744073709551616</offset><length>2</length>"
             "<size>2</size></data></file>")},
        {"negative number",
         toc("<file><name>p</name><data><offset>-1</offset><length>2</length><size>2</size>"
             "</data></file>")},
        {"short checksum",
         toc("<file><name>p</name><data><offset>0</offset><length>2</length><size>2</size>"
             "<archived-checksum style=\"sha1\">abcd</archived-checksum></data></file>")},
        {"MD5 checksum",
         toc("<file><name>p</name><data><offset>0</offset><length>2</length><size>2</size>"
             "<archived-checksum style=\"md5\">00112233445566778899aabbccddeeff"
             "</archived-checksum></data></file>")},
        {"table checksum of the wrong size",
         "<xar><toc><checksum style=\"sha1\"><offset>0</offset><size>16</size></checksum>"
         "</toc></xar>"},
        {"two signatures",
         toc("<signature style=\"RSA\"><offset>20</offset><size>1</size></signature>"
             "<signature style=\"RSA\"><offset>21</offset><size>1</size></signature>")},
        {"bad certificate text",
         toc("<signature style=\"RSA\"><offset>20</offset><size>1</size><KeyInfo><X509Data>"
             "<X509Certificate>@@@@</X509Certificate></X509Data></KeyInfo></signature>")},
    };
    for (const auto& [name, text] : cases)
        EXPECT_THROW(parseToc(text), XarError) << name;
}

TEST(XarToc, HeaderAndCompressedTableAreChecked) {
    const std::string xml = toc("");
    uLongf length = compressBound(static_cast<uLong>(xml.size()));
    std::string compressed(length, '\0');
    compress2(reinterpret_cast<Bytef*>(compressed.data()), &length,
              reinterpret_cast<const Bytef*>(xml.data()), static_cast<uLong>(xml.size()), 9);
    compressed.resize(length);

    const XarHeader h = parseXarHeader(header(compressed.size(), xml.size(), 1));
    EXPECT_EQ(h.size, 28u);
    EXPECT_EQ(h.checksumStyle, "sha1");
    EXPECT_EQ(inflateToc(compressed, xml.size()), xml);

    EXPECT_THROW(inflateToc(compressed, xml.size() + 1), XarError);   // shorter than stated
    EXPECT_THROW(inflateToc(compressed, xml.size() - 1), XarError);   // longer than stated
    EXPECT_THROW(inflateToc(compressed + "x", xml.size()), XarError); // trailing bytes
    EXPECT_THROW(inflateToc(compressed.substr(0, 10), xml.size()), XarError);
    EXPECT_THROW(parseXarHeader("xar?" + header(1, 1, 1).substr(4)), XarError);
    EXPECT_THROW(parseXarHeader(header(1, 1, 2)), XarError);         // MD5
    EXPECT_THROW(parseXarHeader(header(1, 64u << 20, 1)), XarError); // table too large
    EXPECT_THROW(parseXarHeader(header(0, 1, 1)), XarError);
    EXPECT_THROW(parseXarHeader(header(1, 1, 1).substr(0, 20)), XarError);
}
