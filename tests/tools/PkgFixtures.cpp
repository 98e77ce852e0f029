#include "PkgFixtures.h"

#include "package/SignatureVerdict.h"

#include "FlatPackageWriter.h"
#include "PackageParts.h"

#include "Process.h"
#include "TempDir.h"
#include "Trust.h"

#include <stdexcept>

#include <archive.h>
#include <archive_entry.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <zlib.h>

namespace quorvane::test::pkg {
namespace fs = std::filesystem;
using namespace quorvane::tools;

fs::path tool(const char* name) {
    return fs::path(QUORVANE_TOOLS_DIR) / name;
}
fs::path authorityFile(const char* name) {
    return fs::path(QUORVANE_AUTHORITY_DIR) / name;
}
fs::path fixture(const char* name) {
    return fs::path(QUORVANE_SHARED_DIR) / "fixtures/macos-pkgs" / name;
}
bool realPackagesPresent() {
    std::error_code ec;
    return fs::is_regular_file(fixture("goxar-valid.pkg"), ec);
}
fs::path appleCertificate(const char* name) {
    return fs::path(QUORVANE_SOURCE_DIR) / "tools/anchors/apple" / name;
}

Signer buildSigner(const fs::path& dir, const char* leaf) {
    const std::string base = fs::path(leaf).stem().string();
    Signer s{authorityFile((base + ".key").c_str()), dir / (base + "-chain.pem")};
    writeFile(s.chain, readFile(authorityFile(leaf)) + readFile(authorityFile("chain.pem")));
    return s;
}

namespace {

EvpPkeyPtr readKey(const fs::path& path) {
    const std::string pem = readFile(path);
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key)
        throw std::runtime_error("no key in " + path.string());
    return key;
}

void addExtension(X509* cert, X509* issuer, const char* name, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_nconf(nullptr, &ctx, name, value);
    if (!ext)
        throw std::runtime_error(std::string("bad extension ") + name);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

std::string pemOf(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), cert);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

} // namespace

Signer issueLeaf(const fs::path& dir, const std::string& commonName, const std::string& team,
                 InstallerMarks marks, long notBefore, long notAfter) {
    auto caCerts = readPemCertificates(readFile(authorityFile("devid-ca.pem")));
    X509* ca = caCerts.at(0).get();
    EvpPkeyPtr caKey = readKey(authorityFile("devid-ca.key"));
    EvpPkeyPtr key(EVP_RSA_gen(2048));
    X509Ptr cert(X509_new());
    if (!key || !cert)
        throw std::runtime_error("out of memory");
    X509_set_version(cert.get(), 2);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfter);
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto add = [&](const char* field, const std::string& value) {
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0);
    };
    add("UID", team);
    add("CN", commonName);
    add("OU", team);
    add("O", "Test Vendor");
    add("C", "US");
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca));
    X509_set_pubkey(cert.get(), key.get());
    addExtension(cert.get(), ca, "basicConstraints", "critical,CA:FALSE");
    addExtension(cert.get(), ca, "keyUsage", "critical,digitalSignature");
    if (marks == InstallerMarks::both || marks == InstallerMarks::usageOnly)
        addExtension(cert.get(), ca, "extendedKeyUsage", "critical,1.2.840.113635.100.4.13");
    else
        addExtension(cert.get(), ca, "extendedKeyUsage", "critical,codeSigning");
    if (marks == InstallerMarks::both || marks == InstallerMarks::markerOnly)
        addExtension(cert.get(), ca, "1.2.840.113635.100.6.1.14", "critical,DER:05:00");
    addExtension(cert.get(), ca, "subjectKeyIdentifier", "hash");
    addExtension(cert.get(), ca, "authorityKeyIdentifier", "keyid");
    if (X509_sign(cert.get(), caKey.get(), EVP_sha256()) <= 0)
        throw std::runtime_error("cannot sign the leaf");

    Signer s{dir / (team + "-leaf.key"), dir / (team + "-chain.pem")};
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(keyBio.get(), &data);
    writeFile(s.key, std::string(data, static_cast<std::size_t>(n)));
    writeFile(s.chain, pemOf(cert.get()) + readFile(authorityFile("chain.pem")));
    return s;
}

void makeApp(const fs::path& root) {
    const fs::path app = root / "Quorvane Pro.app" / "Contents";
    fs::create_directories(app / "MacOS");
    fs::create_directories(app / "Frameworks/Kit.framework/Versions/A/Resources");
    writeFile(app / "Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.quorvane.pro</string></dict></plist>\n");
    writeFile(app / "MacOS/Quorvane Pro", "#!/bin/sh\necho quorvane\n");
    fs::permissions(app / "MacOS/Quorvane Pro", fs::perms(0755));
    const fs::path kit = app / "Frameworks/Kit.framework";
    writeFile(kit / "Versions/A/Kit", std::string(3 << 20, 'k')); // spans several chunks
    writeFile(kit / "Versions/A/Resources/readme.txt", "kit\n");
    fs::create_symlink("A", kit / "Versions/Current");
    fs::create_symlink("Versions/Current/Kit", kit / "Kit");
    fs::create_symlink("Versions/Current/Resources", kit / "Resources");
}

void xarPackage(const fs::path& out, const std::string& payload, bool gzipMembers) {
    struct Writer {
        struct archive* a = archive_write_new();
        ~Writer() { archive_write_free(a); }
    } w;
    archive_write_set_format_xar(w.a);
    archive_write_set_options(w.a, gzipMembers ? "xar:compression=gzip" : "xar:compression=none");
    if (archive_write_open_filename(w.a, out.c_str()) != ARCHIVE_OK)
        throw std::runtime_error("cannot write " + out.string());
    const std::pair<const char*, std::string> members[] = {
        {"PackageInfo", "<pkg-info identifier=\"x\" version=\"1\"/>\n"}, {"Payload", payload}};
    for (const auto& [name, data] : members) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, name);
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
        const bool written = archive_write_header(w.a, entry) == ARCHIVE_OK &&
                             archive_write_data(w.a, data.data(), data.size()) ==
                                 static_cast<la_ssize_t>(data.size());
        archive_entry_free(entry);
        if (!written)
            throw std::runtime_error("cannot write " + out.string());
    }
    if (archive_write_close(w.a) != ARCHIVE_OK)
        throw std::runtime_error("cannot write " + out.string());
}

void signedPackage(const fs::path& out, const std::string& payload, const Signer& signer) {
    SigningIdentity identity{readKey(signer.key), readPemCertificates(readFile(signer.chain))};
    const fs::path payloadFile = out.string() + ".payload";
    writeBytes(payloadFile, payload);
    writeFlatPackage(
        out,
        {{"Bom", emptyBom(), std::nullopt, 0644},
         {"PackageInfo", packageInfo("com.quorvane.pro.pkg", "1", 1, 0), std::nullopt, 0644},
         {"Payload", {}, payloadFile, 0644}},
        &identity);
    fs::remove(payloadFile);
}

ToolResult run(const std::vector<std::string>& argv) {
    ToolResult r;
    r.status = runCommand(argv, &r.output);
    return r;
}

int buildPackage(const fs::path& root, const fs::path& out, const std::optional<Signer>& signer,
                 std::string* output) {
    std::vector<std::string> argv{tool("quorvane-pkgbuild").string(),
                                  "--root",
                                  root.string(),
                                  "--install-location",
                                  "/Applications",
                                  "--identifier",
                                  "com.quorvane.pro.pkg",
                                  "--version",
                                  "1.0"};
    if (signer) {
        argv.insert(argv.end(),
                    {"--sign-key", signer->key.string(), "--sign-chain", signer->chain.string()});
    }
    argv.push_back(out.string());
    return runCommand(argv, output);
}

bool installerAccepts(const ToolResult& r) {
    // The installer's own reading, so the tool is judged exactly as the installer judges it.
    SignatureVerdict verdict;
    verdict.feed(r.output);
    return verdict.accepts(r.status);
}

std::string readBytes(const fs::path& path) {
    return readFile(path);
}
void writeBytes(const fs::path& path, const std::string& bytes) {
    writeFile(path, bytes);
}

namespace {

std::uint64_t be(const std::string& s, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v = (v << 8) | static_cast<unsigned char>(s.at(at + i));
    return v;
}
void putBe(std::string& s, std::size_t at, std::uint64_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        s[at + i] = static_cast<char>((v >> (8 * (width - 1 - i))) & 0xFF);
}

} // namespace

XarLayout layoutOf(const std::string& package) {
    XarLayout l;
    l.tocCompressed = be(package, 8, 8);
    l.tocUncompressed = be(package, 16, 8);
    l.heapStart = be(package, 4, 2) + l.tocCompressed;
    return l;
}

std::string tocText(const std::string& package) {
    const XarLayout l = layoutOf(package);
    std::string out(l.tocUncompressed, '\0');
    uLongf length = static_cast<uLongf>(out.size());
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                   reinterpret_cast<const Bytef*>(package.data() + 28),
                   static_cast<uLong>(l.tocCompressed)) != Z_OK)
        throw std::runtime_error("table does not inflate");
    return out;
}

std::string withToc(const std::string& package, const std::string& toc, bool fixChecksum) {
    const XarLayout l = layoutOf(package);
    uLongf length = compressBound(static_cast<uLong>(toc.size()));
    std::string compressed(length, '\0');
    compress2(reinterpret_cast<Bytef*>(compressed.data()), &length,
              reinterpret_cast<const Bytef*>(toc.data()), static_cast<uLong>(toc.size()), 9);
    compressed.resize(length);
    std::string header = package.substr(0, 28);
    putBe(header, 8, compressed.size(), 8);
    putBe(header, 16, toc.size(), 8);
    std::string heap = package.substr(l.heapStart);
    if (fixChecksum) {
        unsigned char sum[20];
        unsigned int n = 0;
        EVP_Digest(compressed.data(), compressed.size(), sum, &n, EVP_sha1(), nullptr);
        heap.replace(0, 20, reinterpret_cast<char*>(sum), 20);
    }
    return header + compressed + heap;
}

std::string rsaSignWith(const fs::path& keyPem, const std::string& checksum) {
    EvpPkeyPtr key = readKey(keyPem);
    std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>> ctx(
        EVP_PKEY_CTX_new(key.get(), nullptr));
    std::size_t length = 0;
    EVP_PKEY_sign_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1());
    const auto* in = reinterpret_cast<const unsigned char*>(checksum.data());
    EVP_PKEY_sign(ctx.get(), nullptr, &length, in, checksum.size());
    std::string sig(length, '\0');
    if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &length, in,
                      checksum.size()) != 1)
        throw std::runtime_error("cannot sign");
    sig.resize(length);
    return sig;
}

} // namespace quorvane::test::pkg
