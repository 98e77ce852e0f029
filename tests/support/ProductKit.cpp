#include "ProductKit.h"

#include "AppBundle.h"
#include "Digest.h"
#include "Process.h"
#include "TempDir.h"

#include <quorvane/BuildConfig.h>

#include <stdexcept>

namespace quorvane::test {

namespace fs = std::filesystem;

fs::path builtTool(const std::string& name) {
    return fs::path(QUORVANE_BINARY_DIR) / "tools" / name;
}

namespace {

void mustRun(const std::vector<std::string>& argv) {
    std::string output;
    if (runCommand(argv, &output) != 0)
        throw std::runtime_error(argv.at(0) + " failed: " + output);
}

} // namespace

ProductKit makeProductKit(const fs::path& dir, const std::string& url, const fs::path& program,
                          const ProductKitOptions& options) {
    const fs::path authority =
        options.authority.empty() ? fs::path(QUORVANE_BINARY_DIR) / "authority" : options.authority;
    const fs::path packageAuthority =
        options.packageAuthority.empty() ? authority : options.packageAuthority;
    ProductKit kit;
    const fs::path root = dir / "root";
    kit.app = root / std::string(config::bundleName);
    makeAppBundle(kit.app,
                  {.identifier = std::string(config::productBundleIdentifier),
                   .version = options.version,
                   .build = options.build},
                  program);
    if (options.fillerBytes > 0) {
        fs::create_directories(kit.app / "Contents" / "Resources");
        writeFile(kit.app / "Contents" / "Resources" / "filler.bin",
                  randomBytes(options.fillerBytes, 11));
    }
    mustRun({builtTool("codesign").string(), "--sign", "--key",
             (authority / "application.key").string(), "--chain",
             (authority / "application-chain.pem").string(), "--identifier",
             std::string(config::productBundleIdentifier), kit.app.string()});

    kit.package = dir / std::string(config::packageName);
    mustRun({builtTool("quorvane-pkgbuild").string(), "--root", root.string(), "--install-location",
             "/Applications", "--identifier", std::string(config::productBundleIdentifier) + ".pkg",
             "--version", options.version, "--sign-key",
             (packageAuthority / "installer.key").string(), "--sign-chain",
             (packageAuthority / "installer-chain.pem").string(), kit.package.string()});

    kit.resources = dir / "Resources";
    std::vector<std::string> argv = {builtTool("quorvane-make-resources").string(),
                                     "--package",
                                     kit.package.string(),
                                     "--app",
                                     kit.app.string(),
                                     "--url",
                                     url,
                                     "--output",
                                     kit.resources.string()};
    if (options.prefixBytes) {
        argv.push_back("--prefix-bytes");
        argv.push_back(std::to_string(*options.prefixBytes));
    }
    mustRun(argv);
    kit.tail = kit.resources / "PackageTail.bin";
    return kit;
}

} // namespace quorvane::test
