#pragma once

// Certificate-chain trust for the platform tools: anchors and the platform's own Developer ID
// intermediates are embedded when the tools are built, never read from a path at run time.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OpenSslHandles.h"
#include "contract/CertificateOids.h"

namespace quorvane::tools {

using contract::oidDeveloperIdApplication;
using contract::oidDeveloperIdInstaller;
using contract::oidDeveloperIdInstallerUsage;

struct TrustAnchors {
    std::vector<X509Ptr> anchors;
    std::vector<X509Ptr> platformIntermediates;

    // The certificates embedded in this build.
    static const TrustAnchors& embedded();
    // For tests and tools that take PEM text.
    static TrustAnchors fromPem(std::string_view anchorsPem, std::string_view intermediatesPem);
};

struct ChainVerdict {
    bool trusted = false;
    // Anchored in an embedded anchor through one of the platform's own intermediates.
    bool platform = false;
    bool expired = false;       // the chain failed only because a certificate is out of date
    std::string error;          // OpenSSL's reason when not trusted
    std::vector<X509Ptr> chain; // leaf first, anchor last (as verified, or as given on failure)
};

// Verifies `leaf` through `untrusted` to one of `trust`'s anchors at `when` (0: now). Apple's
// critical Developer ID extensions count as handled; any other unknown critical extension fails.
ChainVerdict verifyChain(X509* leaf, const std::vector<X509*>& untrusted,
                         const TrustAnchors& trust = TrustAnchors::embedded(),
                         std::time_t when = 0);

// Certificate details, as the tools print them.
std::string commonName(X509* cert);
std::string organizationalUnit(X509* cert);
std::string sha256Fingerprint(X509* cert); // upper-case hex pairs separated by spaces
std::string notAfterText(X509* cert);      // e.g. "2028-02-09 22:12:15 +0000"
bool hasExtension(X509* cert, std::string_view oid);
// Whether `cert`'s role is signing packages: it carries the installer marker extension and
// lists the installer usage among its extended key usages.
bool isInstallerLeaf(X509* cert);

std::vector<X509Ptr> readPemCertificates(std::string_view pem);
std::optional<X509Ptr> readDerCertificate(std::string_view der);

} // namespace quorvane::tools
