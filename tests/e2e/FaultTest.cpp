// Hostile servers, bad packages and full disks: each ends with the right sentence in the window,
// the copy installed before still in place and valid, and no staging or work folder left.

#include "Digest.h"
#include "E2eTest.h"
#include "Process.h"
#include "SmallFileSystem.h"
#include "Squid.h"

#include <thread>

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

const std::string previousCopy = "2.3.0 (2300.1), valid";

// A world with an older trusted copy installed, which every fault must leave alone.
struct FaultWorld {
    explicit FaultWorld(E2eWorld::Options options = {}) : world(std::move(options)) {
        world.installCopy(world.otherBuild("2.3.0", "2300.1").app);
    }
    E2eWorld world;
};

void expectSurvived(const std::string& fault, const FailedRun& result,
                    const BootstrapFailure& expected, const std::string& installed = previousCopy) {
    SCOPED_TRACE(fault);
    EXPECT_EQ(result.sentence, sentenceOf(expected));
    EXPECT_EQ(result.installed, installed);
    EXPECT_EQ(result.leftovers, std::vector<std::string>{});
    recordSurvival(fault, result.sentence, result.installed, result.leftovers);
}

// Rebuilds the product's package from `root` (a folder holding the app), signed or not.
std::string buildPackage(const fs::path& root, const fs::path& out, bool sign) {
    const fs::path authority = fs::path(QUORVANE_BINARY_DIR) / "authority";
    std::vector<std::string> argv = {builtTool("quorvane-pkgbuild").string(),
                                     "--root",
                                     root.string(),
                                     "--install-location",
                                     "/Applications",
                                     "--identifier",
                                     std::string(config::productBundleIdentifier) + ".pkg",
                                     "--version",
                                     "2.4.1"};
    if (sign)
        argv.insert(argv.end(), {"--sign-key", (authority / "installer.key").string(),
                                 "--sign-chain", (authority / "installer-chain.pem").string()});
    argv.push_back(out.string());
    std::string output;
    if (runCommand(argv, &output) != 0)
        throw std::runtime_error("quorvane-pkgbuild: " + output);
    return readFile(out);
}

// An installer identity of another team, issued by the build's own (trusted) authority.
fs::path otherTeamAuthority(const fs::path& dir) {
    const fs::path build = fs::path(QUORVANE_BINARY_DIR) / "authority";
    fs::create_directories(dir);
    const std::string team = "ZZ9ZZ9ZZ9Z";
    writeFile(dir / "ext.cnf", "basicConstraints=critical,CA:FALSE\n"
                               "keyUsage=critical,digitalSignature\n"
                               "extendedKeyUsage=critical,1.2.840.113635.100.4.13\n"
                               "1.2.840.113635.100.6.1.14=critical,DER:05:00\n"
                               "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n");
    const auto mustRun = [](const std::vector<std::string>& argv) {
        std::string output;
        if (runCommand(argv, &output) != 0)
            throw std::runtime_error(argv.at(0) + ": " + output);
    };
    mustRun({"openssl", "genrsa", "-out", (dir / "installer.key").string(), "2048"});
    mustRun({"openssl", "req", "-new", "-key", (dir / "installer.key").string(), "-subj",
             "/UID=" + team + "/CN=Developer ID Installer: Other Labs (" + team + ")/OU=" + team +
                 "/O=Other Labs/C=US",
             "-out", (dir / "installer.csr").string()});
    mustRun({"openssl", "x509", "-req", "-in", (dir / "installer.csr").string(), "-CA",
             (build / "devid-ca.pem").string(), "-CAkey", (build / "devid-ca.key").string(),
             "-set_serial", "0x5a5a5a5a", "-days", "30", "-sha256", "-extfile",
             (dir / "ext.cnf").string(), "-out", (dir / "installer.pem").string()});
    writeFile(dir / "installer-chain.pem",
              readFile(dir / "installer.pem") + readFile(build / "chain.pem"));
    // The app keeps the product's own identity.
    for (const char* name : {"application.key", "application-chain.pem"})
        fs::copy_file(build / name, dir / name);
    return dir;
}

} // namespace

TEST_F(E2e, HostileServerAnswers) {
    FaultWorld fault;
    E2eWorld& world = fault.world;
    const std::string tail = readFile(world.kit.tail);
    std::string changed = tail;
    changed[changed.size() / 2] ^= 0x20;
    world.server.route("/elsewhere", {.bodyFile = world.kit.tail});
    std::string loginPage = "<!DOCTYPE html><html><head><title>Sign in</title></head><body>"
                            "<form action=\"/login\" method=\"post\"></form></body></html>\n";
    loginPage.resize(234, ' ');

    struct Case {
        std::string fault;
        HttpsTestServer::Route route;
        const BootstrapFailure& expected;
    };
    const Case cases[] = {
        {"the server redirects (302) to the real tail",
         {.status = 302, .headers = {{"Location", world.server.url("/elsewhere")}}},
         BootstrapFailure::download},
        {"the server answers 404", {.status = 404, .body = "not here"}, BootstrapFailure::download},
        {"the server answers 206 with the whole tail",
         {.status = 206, .bodyFile = world.kit.tail},
         BootstrapFailure::download},
        {"the server sends one byte too many", {.body = tail + "!"}, BootstrapFailure::size},
        {"a login page (200, text/html, 234 bytes) in place of the package",
         {.body = loginPage, .contentType = "text/html"},
         BootstrapFailure::download},
        {"the tail's digest is wrong (one byte changed)",
         {.body = changed},
         BootstrapFailure::checksum},
    };
    for (const auto& c : cases) {
        world.server.route("/tail", c.route);
        expectSurvived(c.fault, runToFailure(world), c.expected);
    }
    EXPECT_EQ(world.server.requests("/elsewhere"), 0) << "a redirect was followed";
}

// Connections that end mid-body: the installer resumes where they ended and installs; after
// five drops in a row without new bytes it shows the download sentence, and Retry resumes.
TEST_F(E2e, ConnectionsThatDropMidBody) {
    const std::string installedNow = "2.4.1 (2410.1), valid";
    {
        FaultWorld fault;
        E2eWorld& world = fault.world;
        const auto tailBytes = static_cast<std::size_t>(fs::file_size(world.kit.tail));
        world.server.route("/tail", {.headers = {{"ETag", "\"e2e-1\""}},
                                     .bodyFile = world.kit.tail,
                                     .ranges = true,
                                     .dropsAt = {tailBytes / 2}});
        auto run = world.launch();
        expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
        EXPECT_EQ(world.server.requests("/tail"), 2);
        EXPECT_EQ(world.server.bytesServed(), tailBytes) << "bytes fetched twice";
        run->stopNamespace();
        const auto installed = world.describeInstalled();
        const auto leftovers = world.leftovers();
        EXPECT_EQ(installed, installedNow);
        EXPECT_EQ(leftovers, std::vector<std::string>{});
        recordSurvival("the server closes the connection mid-body",
                       "(none: it resumed and installed)", installed, leftovers);
    }
    {
        FaultWorld fault;
        E2eWorld& world = fault.world;
        const auto tailBytes = static_cast<std::size_t>(fs::file_size(world.kit.tail));
        const HttpsTestServer::Route whole{
            .headers = {{"ETag", "\"e2e-2\""}}, .bodyFile = world.kit.tail, .ranges = true};
        auto dropping = whole;
        dropping.dropAfter = tailBytes / 2;
        world.server.route("/tail", dropping);
        auto run = world.launch();
        const auto failed = run->settle(world.reader());
        const std::string sentence = failed.sentence.value_or("(none)");
        EXPECT_EQ(sentence, sentenceOf(BootstrapFailure::download));
        EXPECT_EQ(world.server.requests("/tail"), 7)
            << "one request, one resumption at once after its new bytes, five after waits";

        world.server.route("/tail", whole);
        // The Retry link sits under this sentence's lines.
        run->click(world.reader().retryPoint(sentence));
        // The window may still show the sentence for a moment: wait for Retry's request.
        for (int i = 0; i < 600 && world.server.requests("/tail") == 7; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
        EXPECT_EQ(world.server.lastHeader("/tail", "Range"),
                  "bytes=" + std::to_string(tailBytes / 2) + "-");
        EXPECT_EQ(world.server.bytesServed(), tailBytes) << "Retry fetched bytes again";
        run->stopNamespace();
        const auto installed = world.describeInstalled();
        const auto leftovers = world.leftovers();
        EXPECT_EQ(installed, installedNow);
        EXPECT_EQ(leftovers, std::vector<std::string>{});
        recordSurvival("the connection drops five times in a row without new bytes, then Retry",
                       sentence + " Retry resumed and installed.", installed, leftovers);
    }
}

// An ETag or Last-Modified may hold bytes of 0x80 and above (obs-text): the download keeps it
// exactly, resumes with it after a drop, and installs.
TEST_F(E2e, ValidatorsOfAnyBytesResumeAfterADrop) {
    E2eWorld world;
    const auto tailBytes = static_cast<std::size_t>(fs::file_size(world.kit.tail));
    const std::pair<std::string, std::string> validators[] = {
        {"ETag", "\"e2e-\xE9\xFF\x80\""},
        {"Last-Modified", "Tue, 01 D\xE9"
                          "c 2026 10:00:00 GMT"},
    };
    for (const auto& [header, value] : validators) {
        SCOPED_TRACE(header);
        fs::remove_all(world.installedApp());
        const int requestsBefore = world.server.requests("/tail");
        const std::size_t servedBefore = world.server.bytesServed();
        world.server.route("/tail", {.headers = {{header, value}},
                                     .bodyFile = world.kit.tail,
                                     .ranges = true,
                                     .dropsAt = {tailBytes / 2}});
        auto run = world.launch();
        expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
        EXPECT_EQ(world.server.requests("/tail") - requestsBefore, 2);
        EXPECT_EQ(world.server.bytesServed() - servedBefore, tailBytes) << "bytes fetched twice";
        EXPECT_EQ(world.server.lastHeader("/tail", "If-Range"), value);
        run->stopNamespace();
        const auto installed = world.describeInstalled();
        const auto leftovers = world.leftovers();
        EXPECT_EQ(installed, "2.4.1 (2410.1), valid");
        EXPECT_EQ(leftovers, std::vector<std::string>{});
        recordSurvival("the server's " + header +
                           " holds bytes of 0x80 and above, and the connection drops mid-body",
                       "(none: it resumed and installed)", installed, leftovers);
    }
}

// Proxy passwords that make the proxy's URI malformed reach the proxy whole and never the log.
TEST_F(E2e, AProxyPasswordWithARawHashSpaceOrAt) {
    const std::pair<std::string, std::string> accounts[] = {
        {"hash", "Zq8#kWx"}, {"space", "Zq8 kWx"}, {"at", "Zq8@kWx"}};
    const Squid squid({std::begin(accounts), std::end(accounts)});
    E2eWorld world;
    const fs::path log = world.diagnosticLog();
    for (const auto& [user, password] : accounts) {
        SCOPED_TRACE(user);
        fs::remove_all(world.installedApp());
        fs::remove(log);
        RunOptions options;
        options.environment = {{"https_proxy", squid.uri(user, password)},
                               {"no_proxy", ""},
                               {"NO_PROXY", ""},
                               {"DBUS_SESSION_BUS_ADDRESS", ""}};
        auto run = world.launch({}, {}, {}, options);
        expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
        run->stopNamespace();
        const std::string written = readFile(log);
        EXPECT_NE(written.find("through the proxy 127.0.0.1:"), std::string::npos) << written;
        // Neither half of the password, which a parser cutting at the odd character would keep
        // (letters no path, UUID or hash here is made of).
        for (const char* half : {"Zq8", "kWx"})
            EXPECT_EQ(written.find(half), std::string::npos) << half << " in\n" << written;
        const auto installed = world.describeInstalled();
        const auto leftovers = world.leftovers();
        EXPECT_EQ(installed, "2.4.1 (2410.1), valid");
        EXPECT_EQ(leftovers, std::vector<std::string>{});
        const std::string shape = user == "hash"    ? "a raw '#'"
                                  : user == "space" ? "a space"
                                                    : "a second '@'";
        recordSurvival("the proxy's password (in https_proxy) holds " + shape,
                       "(none: it installed through the proxy; the log holds no password)",
                       installed, leftovers);
    }
}

// Company proxies: one that asks for Digest authentication lets the installer through; one whose
// access list refuses the tunnel ends in the download sentence, the old copy kept. A network that
// goes silent mid-body without a reset: the installer waits, says so, and installs.
TEST_F(E2e, CompanyProxiesAndASilentNetwork) {
    const std::string installedNow = "2.4.1 (2410.1), valid";
    const std::vector<std::pair<std::string, std::string>> accounts = {{"staff", "s3cret"}};
    const auto through = [](const Squid& squid) {
        RunOptions options;
        options.environment = {{"https_proxy", squid.uri("staff", "s3cret")},
                               {"no_proxy", ""},
                               {"NO_PROXY", ""},
                               {"DBUS_SESSION_BUS_ADDRESS", ""}};
        return options;
    };
    {
        const Squid digest(accounts, Squid::Mode::digest);
        FaultWorld fault;
        E2eWorld& world = fault.world;
        const fs::path log = world.diagnosticLog();
        auto run = world.launch({}, {}, {}, through(digest));
        expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
        run->stopNamespace();
        const std::string written = readFile(log);
        EXPECT_NE(written.find("proxy HTTP 200 offering Digest"), std::string::npos) << written;
        const auto installed = world.describeInstalled();
        const auto leftovers = world.leftovers();
        EXPECT_EQ(installed, installedNow);
        EXPECT_EQ(leftovers, std::vector<std::string>{});
        recordSurvival("the company proxy asks for Digest authentication (credentials in "
                       "https_proxy)",
                       "(none: it installed through the proxy)", installed, leftovers);
    }
    {
        const Squid denying(accounts, Squid::Mode::denyAll);
        FaultWorld fault;
        E2eWorld& world = fault.world;
        const fs::path log = world.diagnosticLog();
        auto run = world.launch({}, {}, {}, through(denying));
        const auto outcome = run->settle(world.reader());
        FailedRun result;
        result.sentence = outcome.sentence.value_or("(none)");
        EXPECT_EQ(run->close(world.reader()), 0);
        run->stopNamespace();
        result.installed = world.describeInstalled();
        result.leftovers = world.leftovers();
        const std::string written = readFile(log);
        EXPECT_NE(written.find("proxy HTTP 403"), std::string::npos) << written;
        EXPECT_EQ(world.server.requests("/tail"), 0);
        expectSurvived("the company proxy refuses the tunnel (403, by its access list)", result,
                       BootstrapFailure::download);
    }
    {
        FaultWorld fault;
        E2eWorld& world = fault.world;
        const fs::path log = world.diagnosticLog();
        const auto tailBytes = static_cast<std::size_t>(fs::file_size(world.kit.tail));
        // Half the tail, eight seconds of nothing on an open connection, then the rest.
        world.server.route("/tail", {.bodyFile = world.kit.tail,
                                     .pieceBytes = tailBytes / 2 + 1,
                                     .pause = std::chrono::seconds(8)});
        auto run = world.launch();
        expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
        run->stopNamespace();
        const std::string written = readFile(log);
        EXPECT_NE(written.find("waiting for the network"), std::string::npos) << written;
        EXPECT_NE(written.find("bytes flow again"), std::string::npos) << written;
        EXPECT_EQ(world.server.requests("/tail"), 1);
        const auto installed = world.describeInstalled();
        const auto leftovers = world.leftovers();
        EXPECT_EQ(installed, installedNow);
        EXPECT_EQ(leftovers, std::vector<std::string>{});
        recordSurvival("the network goes silent for 8 s mid-body (no reset), then bytes flow",
                       "(none: it waited and installed; the log holds the wait for the network "
                       "after 5 s and its end)",
                       installed, leftovers);
    }
}

TEST_F(E2e, PackagesThatAreNotThePinnedBuild) {
    {
        TempDir other;
        FaultWorld fault({.packageAuthority = otherTeamAuthority(other / "authority")});
        expectSurvived("the package is signed by another team", runToFailure(fault.world),
                       BootstrapFailure::signature);
    }
    {
        FaultWorld fault;
        E2eWorld& world = fault.world;
        world.republish(
            buildPackage(world.kit.app.parent_path(), world.root / "unsigned.pkg", false));
        expectSurvived("the package is not signed", runToFailure(world),
                       BootstrapFailure::signature);
    }
    {
        FaultWorld fault;
        E2eWorld& world = fault.world;
        // Changed after signing, then packaged and signed again by the vendor's identity.
        const fs::path filler = world.kit.app / "Contents" / "Resources" / "filler.bin";
        std::string bytes = readFile(filler);
        bytes[bytes.size() / 2] ^= 0x01;
        writeFile(filler, bytes);
        world.republish(
            buildPackage(world.kit.app.parent_path(), world.root / "tampered.pkg", true));
        expectSurvived("the app inside the package was changed after signing", runToFailure(world),
                       BootstrapFailure::signature);
    }
}

TEST_F(E2e, TheDiskFillsDuringDownloadAssemblyAndInstallation) {
    FaultWorld fault;
    E2eWorld& world = fault.world;
    const auto tailBytes = static_cast<std::size_t>(fs::file_size(world.kit.tail));
    const auto prefixBytes = static_cast<std::size_t>(*world.manifest.embeddedPackageBytes);
    {
        SmallFileSystem small(world.root / "small-tmp-1", tailBytes / 2);
        ASSERT_TRUE(small.mounted());
        expectSurvived("the disk fills during the download", runToFailure(world, {}, small.path()),
                       BootstrapFailure::insufficientSpace);
    }
    {
        // Room for the tail but not for the prefix joined in front of it.
        SmallFileSystem small(world.root / "small-tmp-2", tailBytes + prefixBytes / 2);
        ASSERT_TRUE(small.mounted());
        expectSurvived("the disk fills while the package is assembled",
                       runToFailure(world, {}, small.path()), BootstrapFailure::insufficientSpace);
    }
    {
        // A home with room for the installed copy but not for the new one beside it.
        const auto appBytes = [](const fs::path& app) {
            std::size_t total = 0;
            for (const auto& entry : fs::recursive_directory_iterator(app))
                if (entry.is_regular_file())
                    total += static_cast<std::size_t>(entry.file_size());
            return total;
        };
        SmallFileSystem small(world.root / "small-home",
                              appBytes(world.installedApp()) + (256 << 10));
        ASSERT_TRUE(small.mounted());
        const fs::path apps = small.path() / "Applications";
        fs::create_directories(apps);
        fs::copy(world.installedApp(), apps / std::string(config::bundleName),
                 fs::copy_options::recursive);
        expectSurvived("the disk fills while the app is installed",
                       runToFailure(world, small.path(), {}, apps),
                       BootstrapFailure::insufficientSpace);
    }
}
