#pragma once

// Shared pieces of the package tool tests: the built tools, the build's authority, certificates
// issued on the fly, an app folder to package, and raw package surgery.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::test::pkg {

std::filesystem::path tool(const char* name);
std::filesystem::path authorityFile(const char* name);
// Real packages from public test data live outside the repository, beside it when present.
std::filesystem::path fixture(const char* name);
bool realPackagesPresent();
// Apple's public certificates, kept in the repository.
std::filesystem::path appleCertificate(const char* name);
// A moment at which every real certificate of the fixtures is valid: they expire.
inline constexpr std::time_t realCertificatesValidAt = 1767225600; // 2026-01-01T00:00:00Z

struct Signer {
    std::filesystem::path key;
    std::filesystem::path chain; // leaf first
};

// The build authority's installer or application identity.
Signer buildSigner(const std::filesystem::path& dir, const char* leaf);

// Which of the installer role's two marks a leaf carries: the marker extension and the
// extended key usage.
enum class InstallerMarks { both, markerOnly, usageOnly, none };

// A leaf issued by the build's Developer ID intermediate with the OpenSSL API, valid from
// `notBefore` to `notAfter` seconds from now.
Signer issueLeaf(const std::filesystem::path& dir, const std::string& commonName,
                 const std::string& team, InstallerMarks marks, long notBefore, long notAfter);

// "Quorvane Pro.app" with an executable, an Info.plist and a framework with Versions/Current.
void makeApp(const std::filesystem::path& root);

// Runs quorvane-pkgbuild; returns its exit status.
int buildPackage(const std::filesystem::path& root, const std::filesystem::path& out,
                 const std::optional<Signer>& signer, std::string* output = nullptr);

// A flat package written by libarchive's xar writer, with `payload` as its Payload member, stored
// as it is or (with `gzipMembers`) in the member encoding "application/x-gzip".
void xarPackage(const std::filesystem::path& out, const std::string& payload,
                bool gzipMembers = false);

// A flat package with `payload` as its Payload member (stored as it is), signed by `signer`
// through the vendor's own package writer.
void signedPackage(const std::filesystem::path& out, const std::string& payload,
                   const Signer& signer);

struct ToolResult {
    int status = -1;
    std::string output;
};
ToolResult run(const std::vector<std::string>& argv);

// The installer's reading of `pkgutil --check-signature`.
bool installerAccepts(const ToolResult& result);

std::string readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::string& bytes);

// Raw view of a package: header fields and the heap's start.
struct XarLayout {
    std::uint64_t tocCompressed = 0;
    std::uint64_t tocUncompressed = 0;
    std::uint64_t heapStart = 0;
};
XarLayout layoutOf(const std::string& package);
std::string tocText(const std::string& package);
// Replaces the table with `toc`; with `fixChecksum` also rewrites the heap's table checksum, as
// an attacker who cannot sign would.
std::string withToc(const std::string& package, const std::string& toc, bool fixChecksum);

// PKCS#1 v1.5 SHA-1 signature of `checksum` by a key in PEM.
std::string rsaSignWith(const std::filesystem::path& keyPem, const std::string& checksum);

} // namespace quorvane::test::pkg

#define QUORVANE_SKIP_WITHOUT_REAL_PACKAGES()                                                      \
    if (!quorvane::test::pkg::realPackagesPresent())                                               \
    GTEST_SKIP() << "the real packages are not beside the repository: "                            \
                 << quorvane::test::pkg::fixture("").string() << " is missing"
