// quorvane-pkgbuild: builds a flat component package from a folder, optionally signed.

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>

#include <openssl/pem.h>
#include <unistd.h>

#include "FlatPackageWriter.h"
#include "PackageParts.h"
#include "PayloadWriter.h"
#include "Trust.h"

using namespace quorvane::tools;

namespace {

constexpr const char* usage =
    "usage: quorvane-pkgbuild --root DIR --install-location PATH --identifier ID --version V\n"
    "                         [--sign-key KEY.pem --sign-chain CHAIN.pem] OUT.pkg\n"
    "\n"
    "Builds a flat component package whose payload holds DIR's contents under PATH (the\n"
    "package itself installs relative to \"/\": with --install-location /Applications, DIR/X.app\n"
    "expands to Payload/Applications/X.app).\n"
    "  --sign-key KEY.pem      RSA private key of the installer certificate\n"
    "  --sign-chain CHAIN.pem  that certificate first, then its issuers\n";

std::string readText(const std::filesystem::path& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        throw std::runtime_error("cannot read " + path.string());
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

SigningIdentity loadSigner(const std::filesystem::path& keyFile,
                           const std::filesystem::path& chainFile) {
    const std::string keyPem = readText(keyFile);
    BioPtr bio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
    SigningIdentity signer;
    signer.key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!signer.key)
        throw std::runtime_error("no private key in " + keyFile.string());
    signer.chain = readPemCertificates(readText(chainFile));
    if (signer.chain.empty())
        throw std::runtime_error("no certificates in " + chainFile.string());
    return signer;
}

// A temporary file beside the output, removed when done.
struct TempPayload {
    std::filesystem::path path;
    int fd = -1;
    explicit TempPayload(const std::filesystem::path& out) {
        std::string pattern = out.string() + ".payload-XXXXXX";
        fd = ::mkstemp(pattern.data());
        if (fd < 0)
            throw std::runtime_error("cannot create a temporary file beside " + out.string());
        path = pattern;
    }
    ~TempPayload() {
        ::close(fd);
        ::unlink(path.c_str());
    }
    TempPayload(const TempPayload&) = delete;
    TempPayload& operator=(const TempPayload&) = delete;
};

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        }
        if (arg.starts_with("--")) {
            if (i + 1 >= argc) {
                std::cerr << "quorvane-pkgbuild: " << arg << " needs a value\n" << usage;
                return 2;
            }
            options[arg] = argv[++i];
        } else if (out.empty()) {
            out = arg;
        } else {
            std::cerr << usage;
            return 2;
        }
    }
    for (const char* required : {"--root", "--install-location", "--identifier", "--version"}) {
        if (!options.count(required) || out.empty()) {
            std::cerr << "quorvane-pkgbuild: missing " << (out.empty() ? "OUT.pkg" : required)
                      << "\n"
                      << usage;
            return 2;
        }
    }
    if (options.count("--sign-key") != options.count("--sign-chain")) {
        std::cerr << "quorvane-pkgbuild: --sign-key and --sign-chain go together\n";
        return 2;
    }
    for (const auto& [key, value] : options) {
        if (key != "--root" && key != "--install-location" && key != "--identifier" &&
            key != "--version" && key != "--sign-key" && key != "--sign-chain") {
            std::cerr << "quorvane-pkgbuild: unknown option " << key << "\n" << usage;
            return 2;
        }
    }
    const std::filesystem::path location = options["--install-location"];
    if (!location.is_absolute() || location.lexically_normal() != location ||
        location.string().find("..") != std::string::npos) {
        std::cerr << "quorvane-pkgbuild: the install location must be a plain absolute path\n";
        return 2;
    }
    try {
        std::optional<SigningIdentity> signer;
        if (options.count("--sign-key"))
            signer = loadSigner(options["--sign-key"], options["--sign-chain"]);
        TempPayload payload(out);
        const PayloadSummary summary = writePayload(options["--root"], location, payload.fd);
        std::vector<PackageMember> members;
        members.push_back({"Bom", emptyBom(), std::nullopt, 0644});
        members.push_back({"PackageInfo",
                           packageInfo(options["--identifier"], options["--version"], summary.files,
                                       (summary.totalBytes + 1023) / 1024),
                           std::nullopt, 0644});
        members.push_back({"Payload", {}, payload.path, 0644});
        writeFlatPackage(out, members, signer ? &*signer : nullptr);
    } catch (const std::exception& e) {
        std::cerr << "quorvane-pkgbuild: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
