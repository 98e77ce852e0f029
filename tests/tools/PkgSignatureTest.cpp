// pkgutil --check-signature against packages built by quorvane-pkgbuild, each tampered with in
// one way, and against real packages signed through Apple's chain.

#include "PkgFixtures.h"

#include "Process.h"
#include "TempDir.h"

#include <functional>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace quorvane::test;
using namespace quorvane::test::pkg;

namespace {

constexpr const char* appleStatus =
    "Status: signed by a developer certificate issued by Apple for distribution";
constexpr long day = 24 * 3600;

fs::path signedPackage(const fs::path& dir, const Signer& signer, const char* name = "good.pkg") {
    if (!fs::exists(dir / "root"))
        makeApp(dir / "root");
    std::string output;
    const fs::path pkg = dir / name;
    EXPECT_EQ(buildPackage(dir / "root", pkg, signer, &output), 0) << output;
    return pkg;
}

fs::path goodPackage(const fs::path& dir) {
    return signedPackage(dir, buildSigner(dir, "installer.pem"));
}

// Rewrites `count` heap bytes at `offset` of the good package.
fs::path patchedHeap(const fs::path& dir, std::uint64_t offset, const std::string& bytes) {
    const fs::path pkg = goodPackage(dir);
    std::string data = readBytes(pkg);
    data.replace(layoutOf(data).heapStart + offset, bytes.size(), bytes);
    writeBytes(pkg, data);
    return pkg;
}

fs::path editedToc(const fs::path& dir, bool fixChecksum) {
    const fs::path pkg = goodPackage(dir);
    const std::string data = readBytes(pkg);
    std::string toc = tocText(data);
    const auto at = toc.find("<mode>0644</mode>");
    EXPECT_NE(at, std::string::npos);
    toc.replace(at, 17, "<mode>4755</mode>");
    writeBytes(pkg, withToc(data, toc, fixChecksum));
    return pkg;
}

struct SignatureCase {
    const char* name;
    std::function<fs::path(const fs::path&)> make;
    const char* status; // expected in the output
    bool exitZero;
    bool accepted; // by the installer's reading of the output
};

const SignatureCase signatureCases[] = {
    {"GoodPackage", goodPackage, appleStatus, true, true},
    {"PayloadByteChanged",
     [](const fs::path& dir) {
         const fs::path pkg = goodPackage(dir);
         std::string data = readBytes(pkg);
         data[data.size() - 40] ^= 0x01; // the Payload is the heap's last member
         writeBytes(pkg, data);
         return pkg;
     },
     "Status: package is invalid", false, false},
    {"TocChangedChecksumStale", [](const fs::path& dir) { return editedToc(dir, false); },
     "Status: package is invalid (checksum did not verify)", false, false},
    {"TocChangedChecksumRecomputed", [](const fs::path& dir) { return editedToc(dir, true); },
     "Status: package is invalid (signature did not verify)", false, false},
    {"SignatureReplacedByAnotherKey",
     [](const fs::path& dir) {
         const std::string data = readBytes(goodPackage(dir));
         const std::string checksum = data.substr(layoutOf(data).heapStart, 20);
         return patchedHeap(dir, 20, rsaSignWith(authorityFile("application.key"), checksum));
     },
     "Status: package is invalid (signature did not verify)", false, false},
    {"CmsSignatureValueChanged",
     [](const fs::path& dir) {
         // The RSA signature stays valid; the CMS one ends in its signature value.
         const std::string data = readBytes(goodPackage(dir));
         const std::uint64_t cms = layoutOf(data).heapStart + 20 + 256;
         EXPECT_EQ(static_cast<unsigned char>(data[cms + 1]), 0x82); // two length bytes
         const std::uint64_t end = 4 + (static_cast<unsigned char>(data[cms + 2]) << 8) +
                                   static_cast<unsigned char>(data[cms + 3]);
         return patchedHeap(dir, 20 + 256 + end - 8, std::string(4, 'x'));
     },
     "Status: package is invalid (signature did not verify)", false, false},
    {"ChainToAnUnknownRoot",
     [](const fs::path& dir) {
         makeAuthority(dir / "other"); // same names, its own keys
         Signer s{dir / "other/installer.key", dir / "other-chain.pem"};
         writeFile(s.chain,
                   readFile(dir / "other/installer.pem") + readFile(dir / "other/chain.pem"));
         return signedPackage(dir, s);
     },
     "Status: signed by untrusted certificate", false, false},
    {"AnotherTeam",
     [](const fs::path& dir) {
         return signedPackage(dir,
                              issueLeaf(dir, "Developer ID Installer: Other Vendor (ZZ9ZZ9ZZ9Z)",
                                        "ZZ9ZZ9ZZ9Z", true, -day, 365 * day));
     },
     appleStatus, true, false},
    {"ApplicationCertificateForTheInstaller",
     [](const fs::path& dir) { return signedPackage(dir, buildSigner(dir, "application.pem")); },
     "Developer ID Application: Quorvane Labs (Q4ZT8WX2LM)", true, false},
    {"ExpiredLeaf",
     [](const fs::path& dir) {
         return signedPackage(dir,
                              issueLeaf(dir, "Developer ID Installer: Quorvane Labs (Q4ZT8WX2LM)",
                                        "Q4ZT8WX2LM", true, -2 * day, -day));
     },
     "Status: signed by a certificate that has since expired", false, false},
    {"Unsigned",
     [](const fs::path& dir) {
         makeApp(dir / "root");
         EXPECT_EQ(buildPackage(dir / "root", dir / "unsigned.pkg", std::nullopt), 0);
         return dir / "unsigned.pkg";
     },
     "Status: no signature", false, false},
};

void PrintTo(const SignatureCase& c, std::ostream* os) {
    *os << c.name;
}

class CheckSignature : public ::testing::TestWithParam<SignatureCase> {};

} // namespace

TEST_P(CheckSignature, Verdict) {
    const SignatureCase& c = GetParam();
    TempDir dir;
    const fs::path pkg = c.make(dir.path());
    const ToolResult r = run({tool("pkgutil").string(), "--check-signature", pkg.string()});
    EXPECT_NE(r.output.find(c.status), std::string::npos) << r.output;
    EXPECT_EQ(r.status == 0, c.exitZero) << r.output;
    EXPECT_EQ(installerAccepts(r), c.accepted) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Packages, CheckSignature, ::testing::ValuesIn(signatureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CheckSignature, PrintsTheChainInThePlatformToolsWording) {
    TempDir dir;
    const ToolResult r =
        run({tool("pkgutil").string(), "--check-signature", goodPackage(dir.path()).string()});
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* line : {"Package \"good.pkg\":\n", "   Certificate Chain:\n",
                             "    1. Developer ID Installer: Quorvane Labs (Q4ZT8WX2LM)\n",
                             "    2. Developer ID Certification Authority\n",
                             "    3. Quorvane Test Root CA\n", "       SHA256 Fingerprint:\n"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
    EXPECT_NE(r.output.find("       " + std::string(72, '-') + "\n"), std::string::npos);
}

// Real packages from public test data, checked by a pkgutil that trusts Apple's root.
TEST(CheckSignature, RealPackagesAgainstApplesRoot) {
    QUORVANE_SKIP_WITHOUT_REAL_PACKAGES();
    const std::string appleTool = tool("pkgutil-apple-anchors").string();
    const std::string validAt = std::to_string(realCertificatesValidAt);
    const ToolResult valid = run({appleTool, "--verification-time", validAt, "--check-signature",
                                  fixture("goxar-valid.pkg").string()});
    EXPECT_EQ(valid.status, 0) << valid.output;
    EXPECT_NE(valid.output.find(std::string("   ") + appleStatus), std::string::npos);
    for (const char* entry :
         {"    1. Developer ID Installer: Mac Admins Open Source (T4SK8ZXCXG)\n",
          "       Expires: 2028-02-09 02:34:05 +0000\n",
          "    2. Developer ID Certification Authority\n", "    3. Apple Root CA\n"})
        EXPECT_NE(valid.output.find(entry), std::string::npos) << entry << "\n" << valid.output;

    // Its RSA signature has one byte changed; the CMS signature alone must not carry it.
    const ToolResult bad = run({appleTool, "--verification-time", validAt, "--check-signature",
                                fixture("goxar-bad_signature.pkg").string()});
    EXPECT_NE(bad.status, 0) << bad.output;
    EXPECT_EQ(bad.output.find("Status: signed"), std::string::npos) << bad.output;

    const ToolResult unsigned_ =
        run({appleTool, "--check-signature", fixture("relic-dummy.pkg").string()});
    EXPECT_EQ(unsigned_.status, 1);
    EXPECT_EQ(unsigned_.output, "Package \"relic-dummy.pkg\":\n   Status: no signature\n");

    // The build's own pkgutil does not trust Apple's root.
    const ToolResult local =
        run({tool("pkgutil").string(), "--check-signature", fixture("goxar-valid.pkg").string()});
    EXPECT_NE(local.status, 0);
    EXPECT_NE(local.output.find("Status: signed by untrusted certificate"), std::string::npos);
}

TEST(CheckSignature, UnreadableInputFailsWithAMessage) {
    TempDir dir;
    writeFile(dir / "junk.pkg", "not a package at all, just text that is long enough");
    for (const fs::path& pkg : {dir / "junk.pkg", dir / "missing.pkg"}) {
        const ToolResult r = run({tool("pkgutil").string(), "--check-signature", pkg.string()});
        EXPECT_NE(r.status, 0) << pkg;
        EXPECT_FALSE(installerAccepts(r));
    }
    EXPECT_EQ(run({tool("pkgutil").string(), "--check-signature"}).status, 2);
    EXPECT_EQ(run({tool("pkgutil").string(), "--help"}).status, 0);
}
