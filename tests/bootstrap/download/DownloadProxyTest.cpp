// Downloads through real proxies from the distribution, on loopback: tinyproxy for HTTP CONNECT,
// squid for credentials that tinyproxy cannot hold, and microsocks for SOCKS5.

#include "base/Diagnostics.h"
#include "base/FileIo.h"
#include "download/BootstrapDownload.h"
#include "log/LogFile.h"
#include "manifest/BootstrapFailure.h"

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Daemon.h"
#include "DownloadOutcome.h"
#include "HttpsTestServer.h"
#include "Process.h"
#include "RecordedLines.h"
#include "Squid.h"
#include "TailRequestFor.h"
#include "TempDir.h"

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace {

// Runs one download to its outcome: nullopt for success, else the failure.
std::optional<BootstrapFailure> download(const std::string& url, std::size_t size,
                                         const std::filesystem::path& destination,
                                         DownloadProxy proxy) {
    const BootstrapManifest manifest = tailManifest(url, size);
    const SystemContext context = trustingTestAuthority();
    DownloadOptions options;
    options.proxy = std::move(proxy);
    options.reconnectWaits.fill(1ms);
    options.connectTimeout = 10s;

    BootstrapDownload transfer(manifest, destination, {}, context, options);
    return awaitOutcome(transfer);
}

// tinyproxy on a free loopback port with extra configuration lines.
struct Tinyproxy {
    explicit Tinyproxy(const TempDir& dir, const std::string& name, const std::string& extra)
        : port(freeLoopbackPort()), config(dir / (name + ".conf")) {
        std::ofstream(config) << "Port " << port << "\nListen 127.0.0.1\nTimeout 60\n"
                              << "MaxClients 20\nUser nobody\nGroup nogroup\nLogLevel Critical\n"
                              << extra;
        daemon.emplace(std::vector<std::string>{"tinyproxy", "-d", "-c", config.string()});
        if (!waitForListener(port))
            throw std::runtime_error("tinyproxy did not start");
    }
    std::string uri(const std::string& credentials = {}) const {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(port);
    }
    int port;
    std::filesystem::path config;
    std::optional<Daemon> daemon;
};

// Sends this process's standard error to a file for as long as it lives.
struct StandardErrorTo {
    explicit StandardErrorTo(const std::filesystem::path& file) : saved(::dup(STDERR_FILENO)) {
        const FileDescriptor out(
            ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        ::dup2(out.get(), STDERR_FILENO);
    }
    ~StandardErrorTo() { ::dup2(saved.get(), STDERR_FILENO); }
    FileDescriptor saved;
};

} // namespace

// Passwords that make the proxy's URI malformed (a raw '#', a space, a second '@') still reach
// the proxy whole, and neither the log nor standard error ever holds them: not when the proxy
// lets the download through, and not when it cannot be reached and libcurl's message names it.
TEST(DownloadProxy, CredentialsReachTheProxyButNeverTheLog) {
    TempDir dir;
    HttpsTestServer origin;
    const std::string tail(100'000, 'q');
    origin.route("/tail", {.body = tail});
    const std::vector<std::pair<std::string, std::string>> accounts = {
        {"hash", "s3#cr3t"}, {"space", "s3 cr3t"}, {"at", "s3@cr3t"}};
    const Squid squid(accounts);
    const int nothingListens = freeLoopbackPort();
    const auto logFolder = dir / "log";
    {
        const StandardErrorTo captured(dir / "stderr");
        diagnostics::setSink(std::make_shared<diagnostics::LogFile>(logFolder, /*echo=*/true));
        for (const auto& [user, password] : accounts) {
            for (const int port : {squid.port(), nothingListens}) {
                SCOPED_TRACE(user + (port == squid.port() ? " through squid" : " to no proxy"));
                const std::string uri =
                    "http://" + user + ":" + password + "@127.0.0.1:" + std::to_string(port);
                const auto destination = dir / "Download.bin";
                EXPECT_EQ(download(origin.url("/tail"), tail.size(), destination, {uri, ""}),
                          port == squid.port() ? std::nullopt
                                               : std::optional(BootstrapFailure::download));
                std::filesystem::remove(destination);
            }
        }
        diagnostics::setSink(nullptr);
    }
    const std::string log = readFile(logFolder / "installer.log");
    const std::string echoed = readFile(dir / "stderr");
    EXPECT_EQ(origin.requests("/tail"), 3);
    EXPECT_NE(log.find("through the proxy 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("libcurl error 7"), std::string::npos) << log;
    EXPECT_EQ(echoed, log);
    for (const auto& [user, password] : accounts) {
        for (const std::string& secret : {password, password.substr(0, 3)}) {
            EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in:\n" << log;
            EXPECT_EQ(echoed.find(secret), std::string::npos) << secret;
        }
    }
}

TEST(DownloadProxy, ThroughRealProxiesOnLoopback) {
    TempDir dir;
    HttpsTestServer origin;
    const std::string tail(300'000, 'q');
    origin.route("/tail", {.body = tail});

    const Tinyproxy open(dir, "open", "");
    const Tinyproxy refusing(dir, "refusing", "ConnectPort 443\n");
    const Tinyproxy guarded(dir, "guarded", "BasicAuth quorvane s3cret\n");
    const int socksPort = freeLoopbackPort();
    const Daemon socks({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(socksPort)});
    ASSERT_TRUE(waitForListener(socksPort));
    const std::string socksAddress = "127.0.0.1:" + std::to_string(socksPort);
    // Nothing listens here: a download that went this way would fail.
    const std::string deadProxy = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());

    const struct {
        const char* name;
        DownloadProxy proxy;
        std::optional<BootstrapFailure> expected;
    } cases[] = {
        {"HTTP proxy tunnels with CONNECT", {open.uri(), ""}, std::nullopt},
        {"proxy refusing CONNECT", {refusing.uri(), ""}, BootstrapFailure::download},
        {"proxy needing credentials, given in its URI",
         {guarded.uri("quorvane:s3cret@"), ""},
         std::nullopt},
        {"proxy needing credentials, none given", {guarded.uri(), ""}, BootstrapFailure::download},
        {"proxy needing credentials, wrong ones",
         {guarded.uri("quorvane:wrong@"), ""},
         BootstrapFailure::download},
        {"socks5 proxy", {"socks5://" + socksAddress, ""}, std::nullopt},
        {"socks proxy as the desktop names it", {"socks://" + socksAddress, ""}, std::nullopt},
        {"proxy that does not answer", {deadProxy, ""}, BootstrapFailure::download},
        {"no_proxy names the origin", {deadProxy, "localhost,127.0.0.1"}, std::nullopt},
        {"no_proxy names another host", {deadProxy, "example.org"}, BootstrapFailure::download},
        {"direct", {"direct://", ""}, std::nullopt},
        {"unsupported scheme", {"ftp://" + socksAddress, ""}, BootstrapFailure::download},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = origin.requests("/tail");
        const auto destination = dir / "Download.bin";
        EXPECT_EQ(download(origin.url("/tail"), tail.size(), destination, c.proxy), c.expected);
        EXPECT_EQ(origin.requests("/tail") - before, c.expected ? 0 : 1);
        if (!c.expected) {
            EXPECT_EQ(std::filesystem::file_size(destination), tail.size());
        }
        std::filesystem::remove(destination);
        // Proxy credentials are for the proxy alone.
        EXPECT_EQ(origin.lastHeader("/tail", "Proxy-Authorization"), "");
        EXPECT_EQ(origin.lastHeader("/tail", "Authorization"), "");
    }
}

// squid as a company proxy: Basic or Digest authentication (the download offers every scheme
// libcurl has but the one that runs an outside helper), right and wrong credentials, and an
// access list that denies all. The log tells a refusing proxy, with the schemes it offered,
// from an outage, and says when no_proxy sent the download around the proxy.
TEST(DownloadProxy, SquidWithBasicOrDigestAuthenticationOrDenyingAll) {
    HttpsTestServer origin;
    const std::string tail(200'000, 'q');
    origin.route("/tail", {.body = tail});
    const std::vector<std::pair<std::string, std::string>> accounts = {{"quorvane", "s3cret"}};
    const Squid basic(accounts, Squid::Mode::basic);
    const Squid digest(accounts, Squid::Mode::digest);
    const Squid denying(accounts, Squid::Mode::denyAll);
    const struct {
        const char* name;
        const Squid& squid;
        const char* password;
        const char* noProxy;
        std::optional<BootstrapFailure> expected;
        const char* logged;
    } cases[] = {
        {"Basic, right credentials", basic, "s3cret", "", std::nullopt,
         "proxy HTTP 200 offering Basic, HTTP 200"},
        {"Basic, wrong credentials", basic, "wrong", "", BootstrapFailure::download,
         "proxy HTTP 407 offering Basic, no answer from the server"},
        {"Digest, right credentials", digest, "s3cret", "", std::nullopt,
         "proxy HTTP 200 offering Digest, HTTP 200"},
        {"Digest, wrong credentials", digest, "wrong", "", BootstrapFailure::download,
         "proxy HTTP 407 offering Digest, no answer from the server"},
        {"denied by the access list", denying, "s3cret", "", BootstrapFailure::download,
         "proxy HTTP 403, no answer from the server"},
        {"no_proxy names the server", basic, "wrong", "127.0.0.1", std::nullopt,
         "request from byte 0 directly, around the proxy 127.0.0.1 (no_proxy): HTTP 200"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = origin.requests("/tail");
        const RecordedLines log;
        const auto destination = dir / "Download.bin";
        EXPECT_EQ(download(origin.url("/tail"), tail.size(), destination,
                           {c.squid.uri("quorvane", c.password), c.noProxy}),
                  c.expected);
        EXPECT_EQ(origin.requests("/tail") - before, c.expected ? 0 : 1);
        EXPECT_NE(log.all().find(c.logged), std::string::npos) << log.all();
        EXPECT_EQ(log.all().find(c.password), std::string::npos) << log.all();
        std::filesystem::remove(destination);
    }
}
