// Resumption against a real web server (nginx from the distribution, with its own ETag and
// Range handling), with connections cut by a relay in front of it.

#include "download/BootstrapDownload.h"
#include "manifest/BootstrapFailure.h"

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "Daemon.h"
#include "DownloadOutcome.h"
#include "DroppingRelay.h"
#include "HttpsTestServer.h"
#include "Noise.h"
#include "RecordedLines.h"
#include "TailRequestFor.h"
#include "TempDir.h"

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t MiB = 1 << 20;

// nginx serving `www` over HTTPS with the build's certificate, on a free loopback port.
struct Nginx {
    explicit Nginx(const TempDir& dir) : port(freeLoopbackPort()), www(dir / "www") {
        std::filesystem::create_directories(www);
        std::filesystem::create_directories(dir / "temp");
        const auto authority = authorityDirectory();
        const auto config = dir / "nginx.conf";
        const std::string temp = (dir / "temp").string();
        std::ofstream(config) << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                              << "pid " << (dir / "nginx.pid").string() << ";\n"
                              << "error_log " << (dir / "error.log").string() << ";\n"
                              << "events { worker_connections 64; }\n"
                              << "http {\n  access_log off;\n"
                              << "  types { text/html html; application/octet-stream bin; }\n"
                              << "  client_body_temp_path " << temp << ";\n"
                              << "  proxy_temp_path " << temp << ";\n"
                              << "  fastcgi_temp_path " << temp << ";\n"
                              << "  uwsgi_temp_path " << temp << ";\n"
                              << "  scgi_temp_path " << temp << ";\n"
                              << "  server {\n    listen 127.0.0.1:" << port << " ssl;\n"
                              << "    ssl_certificate " << (authority / "tls.pem").string()
                              << ";\n    ssl_certificate_key " << (authority / "tls.key").string()
                              << ";\n    root " << www.string() << ";\n  }\n}\n";
        daemon.emplace(std::vector<std::string>{"nginx", "-e", (dir / "error.log").string(), "-p",
                                                dir.path().string(), "-c", config.string()});
        if (!waitForListener(port))
            throw std::runtime_error("nginx did not start");
    }
    int port;
    std::filesystem::path www;
    std::optional<Daemon> daemon;
};

std::optional<BootstrapFailure> download(const std::string& url, std::uint64_t size,
                                         const std::filesystem::path& destination,
                                         std::vector<std::int64_t>* reports = nullptr) {
    const BootstrapManifest manifest = tailManifest(url, size);
    const SystemContext context = trustingTestAuthority();
    DownloadOptions options;
    options.reconnectWaits.fill(1ms);
    options.now = [] { return DownloadPacing::Clock::time_point(); };

    // Reports come from the transfer's thread; they are read once its outcome is in.
    std::mutex mutex;
    BootstrapDownload transfer(
        manifest, destination,
        [&](std::int64_t received) {
            const std::lock_guard lock(mutex);
            if (reports)
                reports->push_back(received);
        },
        context, options);
    return awaitOutcome(transfer);
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST(NginxDownload, ResumesAcrossCutConnections) {
    TempDir dir;
    const Nginx nginx(dir);
    const std::string tail = noise(6 * MiB + 5, 1);
    std::ofstream(nginx.www / "tail.bin", std::ios::binary) << tail;
    const DroppingRelay relay(nginx.port, {2 * MiB, 2 * MiB + 12345, MiB});
    const auto url = "https://127.0.0.1:" + std::to_string(relay.port()) + "/tail.bin";
    std::vector<std::int64_t> reports;
    ASSERT_EQ(download(url, tail.size(), dir / "Download.bin", &reports), std::nullopt);
    EXPECT_TRUE(contents(dir / "Download.bin") == tail) << "the tail differs";
    EXPECT_EQ(relay.connections(), 4);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end())) << "never started over";
    // TLS handshakes and the records cut in half are all that is served twice.
    EXPECT_LE(relay.bytesRelayed(), tail.size() + 4 * 64 * 1024);
}

// The file changes between a failed download and Retry: nginx's ETag changes with it, If-Range
// fails, and the whole new file comes instead of a splice.
TEST(NginxDownload, AChangedFileIsFetchedWholeOnRetry) {
    TempDir dir;
    const Nginx nginx(dir);
    const std::string before = noise(3 * MiB, 2);
    std::ofstream(nginx.www / "tail.bin", std::ios::binary) << before;
    // The first connection brings half (and is resumed at once), the next six nothing.
    const DroppingRelay relay(nginx.port, {before.size() / 2, 0, 0, 0, 0, 0, 0});
    const auto url = "https://127.0.0.1:" + std::to_string(relay.port()) + "/tail.bin";
    EXPECT_EQ(download(url, before.size(), dir / "Download.bin"), BootstrapFailure::download);
    ASSERT_GT(BootstrapDownload::resumableBytes(dir / "Download.bin",
                                                [&] {
                                                    BootstrapManifest m;
                                                    m.payloadURL = url;
                                                    m.payloadBytes =
                                                        static_cast<std::int64_t>(before.size());
                                                    m.payloadSHA256 = std::string(64, 'a');
                                                    return m;
                                                }()),
              0u);

    const std::string after = noise(3 * MiB, 3);
    std::ofstream(nginx.www / "tail.bin", std::ios::binary | std::ios::trunc) << after;
    std::filesystem::last_write_time(nginx.www / "tail.bin",
                                     std::filesystem::file_time_type::clock::now() + 10s);
    std::vector<std::int64_t> reports;
    ASSERT_EQ(download(url, after.size(), dir / "Download.bin", &reports), std::nullopt);
    EXPECT_TRUE(contents(dir / "Download.bin") == after) << "spliced or stale";
    ASSERT_FALSE(reports.empty());
    EXPECT_GT(reports.front(), 0) << "the kept half was offered first";
    EXPECT_FALSE(std::is_sorted(reports.begin(), reports.end())) << "it started over";
}

// A login page in place of the package (a captive portal, or a proxy's notice): refused before
// a byte of it is written, so the window names the network; the log says why and what came.
TEST(NginxDownload, ALoginPageIsTheDownloadFailure) {
    TempDir dir;
    const Nginx nginx(dir);
    std::string page = "<!DOCTYPE html><html><head><title>Sign in</title></head><body><form "
                       "action=\"/login\" method=\"post\"><input name=\"user\"><input "
                       "name=\"password\" type=\"password\"></form></body></html>\n";
    page.resize(234, ' ');
    std::ofstream(nginx.www / "login.html", std::ios::binary) << page;
    const auto url = "https://127.0.0.1:" + std::to_string(nginx.port) + "/login.html";
    RecordedLines log;
    std::vector<std::int64_t> reports;
    EXPECT_EQ(download(url, 4 * MiB, dir / "Download.bin", &reports), BootstrapFailure::download);
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "Download.bin"));
    EXPECT_FALSE(std::filesystem::exists(BootstrapDownload::partialPath(dir / "Download.bin")));
    EXPECT_NE(log.all().find("refused an answer that announces fewer bytes than the tail "
                             "(4194304 expected from byte 0): HTTP 200, Content-Type text/html, "
                             "Content-Length 234"),
              std::string::npos)
        << log.all();
}
