#include "Trust.h"

#include "PkgFixtures.h"
#include "Process.h"
#include "TempDir.h"

#include <gtest/gtest.h>

using namespace quorvane::tools;
using quorvane::test::readFile;

namespace {

std::filesystem::path authority(const char* name) {
    return std::filesystem::path(QUORVANE_AUTHORITY_DIR) / name;
}

X509Ptr pem(const std::filesystem::path& file) {
    auto certs = readPemCertificates(readFile(file));
    EXPECT_EQ(certs.size(), 1u) << file;
    return std::move(certs.at(0));
}

X509Ptr der(const char* name) {
    auto cert = readDerCertificate(readFile(quorvane::test::pkg::appleCertificate(name)));
    EXPECT_TRUE(cert) << name;
    return std::move(*cert);
}

} // namespace

TEST(Trust, BuildAuthorityLeavesAreTrustedThroughThePlatformIntermediate) {
    auto ca = pem(authority("devid-ca.pem"));
    for (const char* leaf : {"installer.pem", "application.pem"}) {
        auto cert = pem(authority(leaf));
        const ChainVerdict verdict = verifyChain(cert.get(), {ca.get()});
        EXPECT_TRUE(verdict.trusted) << leaf << ": " << verdict.error;
        EXPECT_TRUE(verdict.platform) << leaf;
        EXPECT_EQ(verdict.chain.size(), 3u);
        EXPECT_EQ(organizationalUnit(cert.get()), "Q4ZT8WX2LM");
    }
    auto installer = pem(authority("installer.pem"));
    EXPECT_EQ(commonName(installer.get()), "Developer ID Installer: Quorvane Labs (Q4ZT8WX2LM)");
    EXPECT_TRUE(hasExtension(installer.get(), oidDeveloperIdInstaller));
    EXPECT_FALSE(hasExtension(installer.get(), oidDeveloperIdApplication));
}

TEST(Trust, ChainsThatDoNotReachAnAnchorAreRefused) {
    auto leaf = pem(authority("installer.pem"));
    const ChainVerdict missing = verifyChain(leaf.get(), {});
    EXPECT_FALSE(missing.trusted);

    quorvane::test::TempDir other;
    // A second authority with the same names but its own keys: look-alike, not trusted.
    quorvane::test::makeAuthority(other.path());
    auto foreignLeaf = pem(other / "installer.pem");
    auto foreignCa = pem(other / "devid-ca.pem");
    const ChainVerdict foreign = verifyChain(foreignLeaf.get(), {foreignCa.get()});
    EXPECT_FALSE(foreign.trusted);
    EXPECT_FALSE(foreign.platform);
}

TEST(Trust, ApplesRealIntermediatesChainToApplesRoot) {
    auto root = der("AppleIncRootCertificate.cer");
    TrustAnchors apple;
    apple.anchors.push_back(upRef(root.get()));
    for (const char* ca : {"DeveloperIDCA.cer", "DeveloperIDG2CA.cer"}) {
        auto cert = der(ca);
        const ChainVerdict verdict =
            verifyChain(cert.get(), {}, apple, quorvane::test::pkg::realCertificatesValidAt);
        EXPECT_TRUE(verdict.trusted) << ca << ": " << verdict.error;
    }
    EXPECT_EQ(commonName(root.get()), "Apple Root CA");
}
