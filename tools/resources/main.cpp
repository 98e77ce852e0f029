// quorvane-make-resources: the installer's Payload.json and PackageBase.bin, and the tail to
// publish, from a signed package and the app bundle it carries.

#include <charconv>
#include <iostream>
#include <string_view>

#include "ResourceMaker.h"

namespace {

constexpr const char* usageText =
    R"(usage: quorvane-make-resources --package PKG --app APP --url URL [--prefix-bytes N]
                               --output DIR

Writes into DIR (created if needed):
  Payload.json      version and build from APP's Info.plist, PKG's size and SHA-256, URL,
                    APP's cdhash, N as embeddedPackageBytes (left out without --prefix-bytes)
  PackageBase.bin   the first N bytes of PKG (only with --prefix-bytes)
  PackageTail.bin   the rest of PKG, to publish at URL
APP is the signed app bundle inside PKG (its source folder); its signature is verified first.
Exit status 0 when all three are written, 1 on any failure, 2 on bad arguments.
)";

} // namespace

int main(int argc, char** argv) {
    quorvane::tools::ResourceRequest request;
    bool haveUrl = false;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string_view arg = argv[i];
            if (arg == "--help" || arg == "-h") {
                std::cout << usageText;
                return 0;
            }
            if (i + 1 >= argc)
                throw std::invalid_argument(std::string(arg) + " needs a value");
            const std::string_view value = argv[++i];
            if (arg == "--package") {
                request.package = value;
            } else if (arg == "--app") {
                request.app = value;
            } else if (arg == "--url") {
                request.payloadURL = value;
                haveUrl = true;
            } else if (arg == "--output") {
                request.output = value;
            } else if (arg == "--prefix-bytes") {
                std::int64_t n = -1;
                const auto [end, error] =
                    std::from_chars(value.data(), value.data() + value.size(), n);
                if (error != std::errc() || end != value.data() + value.size() || n < 0)
                    throw std::invalid_argument("--prefix-bytes needs a byte count");
                request.prefixBytes = n;
            } else {
                throw std::invalid_argument("unknown option " + std::string(arg));
            }
        }
        if (request.package.empty() || request.app.empty() || !haveUrl || request.output.empty())
            throw std::invalid_argument("--package, --app, --url and --output are required");
    } catch (const std::invalid_argument& e) {
        std::cerr << "quorvane-make-resources: " << e.what() << "\n" << usageText;
        return 2;
    }
    try {
        const auto manifest = quorvane::tools::makeResources(request);
        std::cerr << "wrote " << request.output.string() << ": " << manifest.payloadBytes
                  << " bytes, cdhash " << manifest.installedAppCDHash.value_or("") << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "quorvane-make-resources: " << e.what() << "\n";
        return 1;
    }
}
