#include "RunRig.h"

#include "Digest.h"
#include "EventLoop.h"
#include "Process.h"

#include <gtest/gtest.h>

namespace quorvane::test {

namespace fs = std::filesystem;

RunRig::RunRig(Options options) {
    applications = root / "home" / "Applications";
    systemApplications = root / "system" / "Applications";
    temporary = root / "tmp";
    resources = root / "Resources";
    tools = root / "tools";
    for (const auto& dir : {temporary, resources, tools, root / "home", systemApplications})
        fs::create_directories(dir);

    if (options.realTools) {
        auto kitOptions = options.kit;
        if (!options.prefix)
            kitOptions.prefixBytes.reset();
        kit = makeProductKit(root / "kit", server.url("/tail"), QUORVANE_FIXTURE_APP, kitOptions);
        fs::copy(kit->resources / "Payload.json", resources / "Payload.json");
        if (options.prefix)
            fs::copy(kit->resources / "PackageBase.bin", resources / "PackageBase.bin");
        manifest = BootstrapManifest::decode(readFile(resources / "Payload.json"));
        package = readFile(kit->package);
        server.route("/tail", {.bodyFile = kit->tail});
        makeModel();
        return;
    }

    package = randomBytes(options.packageBytes, 7);
    manifest.version = "2.4.1";
    manifest.build = "2410.1";
    manifest.payloadURL = server.url("/tail");
    manifest.payloadBytes = static_cast<std::int64_t>(package.size());
    manifest.installedAppCDHash = std::string(40, 'c');
    manifest.payloadSHA256 = sha256Hex(package);
    if (options.prefix) {
        manifest.embeddedPackageBytes = static_cast<std::int64_t>(options.prefixBytes);
        writeFile(resources / "PackageBase.bin", package.substr(0, options.prefixBytes));
        server.route("/tail", {.body = package.substr(options.prefixBytes)});
    } else {
        server.route("/tail", {.body = package});
    }
    writeFile(resources / "Payload.json", manifest.encode());

    // The app the fake expansion lays out: the manifest's build of the product.
    makeProductBundle(tools / "expanded" / "Quorvane Pro.app");
    const std::string t = tools.string();
    writeScript(tools / "pkgutil",
                "#!/bin/sh\n"
                "echo \"$@\" >> '" +
                    t +
                    "/pkgutil.log'\n"
                    "case \"$1\" in\n"
                    "--check-signature)\n"
                    "  [ -e '" +
                    t +
                    "/fault-signature' ] && { echo '   Status: no signature'; exit 1; }\n"
                    "  echo \"Package \\\"$2\\\":\"\n"
                    "  echo '   Status: signed by a developer certificate issued by Apple for "
                    "distribution'\n"
                    "  [ -e '" +
                    t +
                    "/fault-team' ] && { echo '   1. Developer ID Installer: Other Labs "
                    "(ZZ9ZZ9ZZ9Z)'; exit 0; }\n"
                    "  echo '   1. Developer ID Installer: Quorvane Labs (Q4ZT8WX2LM)'\n"
                    "  exit 0 ;;\n"
                    "--expand-full)\n"
                    "  [ -e '" +
                    t +
                    "/fault-expand' ] && exit 1\n"
                    "  mkdir \"$3\" && mkdir -p \"$3/Payload/Applications\" &&\n"
                    "  cp -Rp '" +
                    t +
                    "/expanded/Quorvane Pro.app' \"$3/Payload/Applications/\"\n"
                    "  exit $? ;;\n"
                    "esac\n"
                    "exit 64\n");
    writeScript(tools / "codesign", "#!/bin/sh\n"
                                    "[ -e '" +
                                        t +
                                        "/fault-codesign' ] && exit 1\n"
                                        "exit 0\n");
    makeModel();
}

RunRig::~RunRig() {
    stopAppsIn(root.path());
}

fs::path RunRig::installedApp() const {
    return applications / "Quorvane Pro.app";
}

void RunRig::makeProductBundle(const fs::path& bundle, std::string version,
                               std::string build) const {
    makeAppBundle(bundle,
                  {.identifier = std::string(config::productBundleIdentifier),
                   .version = version.empty() ? manifest.version : version,
                   .build = build.empty() ? manifest.build : build},
                  QUORVANE_FIXTURE_APP);
}

void RunRig::setFault(const std::string& name, bool on) const {
    if (on)
        writeFile(tools / ("fault-" + name), "");
    else
        fs::remove(tools / ("fault-" + name));
}

void RunRig::makeModel() {
    BootstrapModel::Environment env;
    env.resources = resources;
    const fs::path toolFolder = kit ? fs::path(QUORVANE_BINARY_DIR) / "tools" : tools;
    env.system.pkgutil = (toolFolder / "pkgutil").string();
    env.system.codesign = (toolFolder / "codesign").string();
    env.system.userApplications = applications;
    env.system.systemApplications = systemApplications;
    env.system.downloadCAFile = (authorityDirectory() / "root.pem").string();
    env.temporaryDirectory = temporary;
    env.platform = config::linuxPlatform;
    env.osMajorVersion = [] { return 6; };
    env.terminate = [this] { ++terminated; };
    env.download.reconnectWaits.fill(std::chrono::milliseconds(20));
    if (adjust)
        adjust(env);
    model = BootstrapModel::create(env);
    phases.clear();
    QObject::connect(model.get(), &BootstrapModel::phaseChanged,
                     [this] { phases.push_back(describe(model->phase())); });
}

void RunRig::republish(const std::string& bytes) {
    const auto prefix = static_cast<std::size_t>(manifest.embeddedPackageBytes.value_or(0));
    package = bytes;
    manifest.payloadBytes = static_cast<std::int64_t>(bytes.size());
    manifest.payloadSHA256 = sha256Hex(bytes);
    writeFile(resources / "PackageBase.bin", bytes.substr(0, prefix));
    server.route("/tail", {.body = bytes.substr(prefix)});
    rewriteManifest();
}

bool RunRig::republishWithTamperedApp() {
    const fs::path filler = kit->app / "Contents" / "Resources" / "filler.bin";
    std::string bytes = readFile(filler);
    bytes[bytes.size() / 2] ^= 0x01;
    writeFile(filler, bytes);
    const fs::path authority = fs::path(QUORVANE_BINARY_DIR) / "authority";
    const fs::path rebuilt = root / "rebuilt.pkg";
    if (runCommand({builtTool("quorvane-pkgbuild").string(), "--root",
                    kit->app.parent_path().string(), "--install-location", "/Applications",
                    "--identifier", "com.quorvane.pro.pkg", "--version", "2.4.1", "--sign-key",
                    (authority / "installer.key").string(), "--sign-chain",
                    (authority / "installer-chain.pem").string(), rebuilt.string()}) != 0)
        return false;
    republish(readFile(rebuilt));
    return true;
}

void RunRig::rewriteManifest() {
    writeFile(resources / "Payload.json", manifest.encode());
    makeModel();
}

void RunRig::startAndSettle() {
    const int before = terminated;
    model->start();
    const auto operation = model->operation();
    EXPECT_TRUE(spinUntil([&] { return operation.isDone(); }, std::chrono::seconds(60)))
        << "the run did not end";
    EXPECT_LE(terminated, before + 1);
}

std::vector<fs::path> RunRig::stagingFolders() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(temporary))
        if (entry.path().filename().string().rfind("quorvane-installer-", 0) == 0)
            found.push_back(entry.path());
    return found;
}

} // namespace quorvane::test
