#include "download/BootstrapDownload.h"
#include "base/ToolRunner.h"
#include "manifest/BootstrapFailure.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "HttpsTestServer.h"
#include "Noise.h"
#include "Process.h"
#include "RecordedLines.h"
#include "SmallFileSystem.h"
#include "TempDir.h"

using quorvane::BootstrapDownload;
using quorvane::BootstrapFailure;
using quorvane::BootstrapManifest;
using quorvane::DownloadOptions;
using quorvane::SystemContext;
using quorvane::test::HttpsTestServer;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;
using namespace std::chrono_literals;

using quorvane::test::noise;

namespace {

constexpr std::int64_t MiB = 1 << 20;

BootstrapManifest manifestFor(const std::string& url, std::int64_t limit,
                              std::optional<std::int64_t> embedded = 1000) {
    BootstrapManifest m;
    m.version = "2.4.1";
    m.build = "2410.1";
    m.payloadURL = url;
    m.payloadBytes = limit + embedded.value_or(0);
    m.embeddedPackageBytes = embedded;
    m.payloadSHA256 = std::string(64, 'a');
    return m;
}

SystemContext trustingTestAuthority() {
    SystemContext context;
    context.downloadCAFile = (quorvane::test::authorityDirectory() / "root.pem").string();
    return context;
}

std::vector<std::string> entries(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Waits that do not slow the tests, and a clock that stands still, so that reports follow the
// size rule only.
DownloadOptions quickOptions() {
    DownloadOptions options;
    options.reconnectWaits.fill(1ms);
    options.now = [] { return quorvane::DownloadPacing::Clock::time_point(); };
    return options;
}

// One download and everything it reports: progress values, outcomes, waits to reconnect, and
// whether any progress came after the outcome.
class Fetch {
public:
    Fetch(const BootstrapManifest& manifest, const std::filesystem::path& destination,
          DownloadOptions options = quickOptions(),
          const SystemContext& context = trustingTestAuthority())
        : download(
              manifest, destination,
              [this](std::int64_t received) {
                  const std::lock_guard lock(mutex_);
                  progress_.push_back(received);
                  lateProgress_ = lateProgress_ || outcomes_ > 0;
                  changed_.notify_all();
              },
              context, withRecorder(std::move(options))) {}

    DownloadOptions withRecorder(DownloadOptions options) {
        options.reconnecting = [this](bool waiting) {
            const std::lock_guard lock(mutex_);
            if (waiting)
                ++waits_;
            changed_.notify_all();
        };
        return options;
    }

    int waits() {
        const std::lock_guard lock(mutex_);
        return waits_;
    }
    void waitForReconnectWait() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 120s, [this] { return waits_ > 0 || outcomes_; }))
            throw std::runtime_error("no wait to reconnect within two minutes");
    }
    // True when some report is lower than the one before it: the download started over.
    bool startedOver() {
        const std::lock_guard lock(mutex_);
        return std::adjacent_find(progress_.begin(), progress_.end(), std::greater<>()) !=
               progress_.end();
    }

    void start() {
        download.fetch([this](std::exception_ptr error) {
            const std::lock_guard lock(mutex_);
            ++outcomes_;
            error_ = error;
            changed_.notify_all();
        });
    }

    // Waits for the outcome: nullopt for success, else the failure.
    std::optional<BootstrapFailure> outcome() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 120s, [this] { return outcomes_ > 0; }))
            throw std::runtime_error("no outcome within two minutes");
        if (!error_)
            return std::nullopt;
        try {
            std::rethrow_exception(error_);
        } catch (const BootstrapFailure& f) {
            return f;
        } catch (...) {
            ADD_FAILURE() << "outcome is not a BootstrapFailure";
            return BootstrapFailure::installation;
        }
    }

    void waitForProgress() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 120s, [this] { return !progress_.empty() || outcomes_; }))
            throw std::runtime_error("no progress within two minutes");
    }
    std::vector<std::int64_t> progress() {
        const std::lock_guard lock(mutex_);
        return progress_;
    }
    int outcomes() {
        const std::lock_guard lock(mutex_);
        return outcomes_;
    }
    bool lateProgress() {
        const std::lock_guard lock(mutex_);
        return lateProgress_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::int64_t> progress_;
    int outcomes_ = 0;
    int waits_ = 0;
    bool lateProgress_ = false;
    std::exception_ptr error_;

public:
    BootstrapDownload download; // last, so that it ends before the fields its callbacks use
};

struct DownloadTest : ::testing::Test {
    HttpsTestServer server;
    TempDir dir;
    std::filesystem::path destination = dir / "Download.bin";
};

} // namespace

TEST_F(DownloadTest, AcceptsExactlyTheLimitAndStopsAtTheChunkThatCrossesIt) {
    const std::int64_t limit = 2 * MiB + 100;
    const std::string tail = noise(limit + 1);
    server.route("/exact", {.body = tail.substr(0, limit)});
    server.route("/over", {.body = tail});
    for (const std::optional<std::int64_t> embedded :
         {std::optional<std::int64_t>(1000), std::optional<std::int64_t>()}) {
        SCOPED_TRACE(embedded ? "with a prefix" : "without a prefix");
        {
            Fetch fetch(manifestFor(server.url("/exact"), limit, embedded), destination);
            fetch.start();
            EXPECT_EQ(fetch.outcome(), std::nullopt);
            EXPECT_EQ(readFile(destination), tail.substr(0, limit));
            EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Download.bin"});
            // Cumulative, one report per full MiB written and one for the rest, however
            // libcurl cuts the body into pieces.
            EXPECT_EQ(fetch.progress(), (std::vector<std::int64_t>{MiB, 2 * MiB, limit}));
            EXPECT_EQ(server.lastHeader("/exact", "Accept-Encoding"), "identity");
            std::filesystem::remove(destination);
        }
        {
            Fetch fetch(manifestFor(server.url("/over"), limit, embedded), destination);
            fetch.start();
            EXPECT_EQ(fetch.outcome(), BootstrapFailure::size);
            for (const auto received : fetch.progress())
                EXPECT_LT(received, limit);
            EXPECT_FALSE(fetch.lateProgress());
            EXPECT_TRUE(entries(dir.path()).empty());
        }
    }
}

TEST_F(DownloadTest, EveryStatusButOkFailsWithoutWritingOrReporting) {
    server.route("/tail", {.body = "the real tail"});
    const std::string errorPage = noise(2 * MiB);
    for (const int status : {301, 302, 307, 308, 204, 206, 404, 500}) {
        SCOPED_TRACE(status);
        server.route("/status", {.status = status,
                                 .headers = {{"Location", server.url("/tail")}},
                                 .body = status == 204 ? "" : errorPage});
        Fetch fetch(manifestFor(server.url("/status"), 4 * MiB), destination);
        fetch.start();
        EXPECT_EQ(fetch.outcome(), BootstrapFailure::download);
        EXPECT_TRUE(fetch.progress().empty());
        EXPECT_TRUE(entries(dir.path()).empty());
    }
    EXPECT_EQ(server.requests("/tail"), 0); // no redirect was followed
}

TEST_F(DownloadTest, RedirectToPlainHttpIsNotFollowed) {
    HttpsTestServer plain(HttpsTestServer::Transport::plainHttp);
    plain.route("/tail", {.body = "tail"});
    server.route("/moved", {.status = 302, .headers = {{"Location", plain.url("/tail")}}});
    Fetch fetch(manifestFor(server.url("/moved"), 4), destination);
    fetch.start();
    EXPECT_EQ(fetch.outcome(), BootstrapFailure::download);
    EXPECT_EQ(plain.requests(), 0);
}

// A drop that cannot be resumed (no validator) starts over; the same drop every time ends in the
// download failure after the automatic resumptions.
TEST_F(DownloadTest, TransportFailuresGiveDownloadAndLeaveNothing) {
    TempDir otherAuthority;
    const std::string makeAuthority = QUORVANE_SOURCE_DIR "/tools/authority/make-authority";
    ASSERT_EQ(quorvane::runReadingOutput(
                  makeAuthority,
                  {otherAuthority.path().string(), "Q4ZT8WX2LM", "Other", "Other Root"}, {},
                  [](std::string_view) {}),
              0);
    HttpsTestServer untrusted(HttpsTestServer::Transport::https, otherAuthority.path());
    untrusted.route("/tail", {.body = "tail"});
    server.route("/dropped", {.body = noise(3 * MiB), .dropAfter = MiB + MiB / 2});

    const struct {
        const char* name;
        std::string url;
        int requests;
    } cases[] = {
        {"connection dropped mid-body, no validator", server.url("/dropped"), 7},
        {"certificate from an authority not trusted", untrusted.url("/tail"), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fetch fetch(manifestFor(c.url, 3 * MiB), destination);
        fetch.start();
        EXPECT_EQ(fetch.outcome(), BootstrapFailure::download);
        EXPECT_TRUE(entries(dir.path()).empty());
    }
    EXPECT_EQ(server.requests("/dropped"), cases[0].requests);
    EXPECT_EQ(server.lastHeader("/dropped", "Range"), "");
    EXPECT_EQ(untrusted.requests(), cases[1].requests);
}

// A released installer trusts the authorities built into it, never a file of the build
// machine: the text wins over a file, whichever of them names the server's authority.
TEST_F(DownloadTest, BuiltInAuthoritiesAreTrustedInsteadOfAnyFile) {
    TempDir otherAuthority;
    ASSERT_EQ(quorvane::runReadingOutput(
                  QUORVANE_SOURCE_DIR "/tools/authority/make-authority",
                  {otherAuthority.path().string(), "Q4ZT8WX2LM", "Other", "Other Root"}, {},
                  [](std::string_view) {}),
              0);
    const std::string ours = (quorvane::test::authorityDirectory() / "root.pem").string();
    const std::string other = (otherAuthority / "root.pem").string();
    server.route("/tail", {.body = "tail"});
    const struct {
        const char* name;
        std::string pem;
        std::string file;
        std::optional<BootstrapFailure> outcome;
    } cases[] = {
        {"built in, the file missing", readFile(ours), (dir / "missing.pem").string(),
         std::nullopt},
        {"another authority built in, ours in the file", readFile(other), ours,
         BootstrapFailure::download},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SystemContext context;
        context.downloadCAPem = c.pem;
        context.downloadCAFile = c.file;
        Fetch fetch(manifestFor(server.url("/tail"), 4), destination, quickOptions(), context);
        fetch.start();
        EXPECT_EQ(fetch.outcome(), c.outcome);
        std::filesystem::remove(destination);
    }
    EXPECT_EQ(server.requests("/tail"), 1);
}

TEST_F(DownloadTest, CancelWhileTheBodyArrivesGivesCancelled) {
    server.route("/slow", {.body = noise(4 * MiB), .stallAfter = MiB + 10});
    Fetch fetch(manifestFor(server.url("/slow"), 4 * MiB), destination);
    fetch.start();
    fetch.waitForProgress();
    EXPECT_EQ(fetch.progress(), std::vector<std::int64_t>{MiB});
    std::thread([&] { fetch.download.cancel(); }).join();
    EXPECT_EQ(fetch.outcome(), BootstrapFailure::cancelled);
    EXPECT_TRUE(entries(dir.path()).empty());
}

TEST_F(DownloadTest, CancelBeforeFetchGivesCancelledWithoutARequest) {
    server.route("/tail", {.body = "tail"});
    Fetch fetch(manifestFor(server.url("/tail"), 4), destination);
    fetch.download.cancel();
    fetch.start();
    EXPECT_EQ(fetch.outcome(), BootstrapFailure::cancelled);
    EXPECT_EQ(server.requests(), 0);
    EXPECT_TRUE(entries(dir.path()).empty());
}

TEST_F(DownloadTest, CancelAfterTheOutcomeChangesNothing) {
    server.route("/tail", {.body = "tail"});
    Fetch fetch(manifestFor(server.url("/tail"), 4), destination);
    fetch.start();
    EXPECT_EQ(fetch.outcome(), std::nullopt);
    fetch.download.cancel();
    EXPECT_EQ(fetch.outcomes(), 1);
    EXPECT_EQ(readFile(destination), "tail");
}

TEST_F(DownloadTest, ExistingDestinationIsKeptAndTheFetchFails) {
    server.route("/tail", {.body = "tail"});
    writeFile(destination, "mine");
    Fetch fetch(manifestFor(server.url("/tail"), 4), destination);
    fetch.start();
    EXPECT_EQ(fetch.outcome(), BootstrapFailure::download);
    EXPECT_EQ(readFile(destination), "mine");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Download.bin"});
}

TEST_F(DownloadTest, InvalidManifestThrowsAtOnceWithoutARequest) {
    Fetch fetch(manifestFor("http://127.0.0.1:" + std::to_string(server.port()) + "/tail", 4),
                destination);
    try {
        fetch.start();
        FAIL() << "fetch accepted a plain-HTTP address";
    } catch (const BootstrapFailure& f) {
        EXPECT_EQ(f, BootstrapFailure::configuration);
    }
    EXPECT_EQ(fetch.outcomes(), 0);
    EXPECT_EQ(server.requests(), 0);
}

TEST_F(DownloadTest, RunningOutOfSpaceGivesInsufficientSpace) {
    quorvane::test::SmallFileSystem small(dir / "small", MiB);
    if (!small.mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    server.route("/tail", {.body = noise(3 * MiB)});
    Fetch fetch(manifestFor(server.url("/tail"), 3 * MiB), small.path() / "Download.bin");
    fetch.start();
    EXPECT_EQ(fetch.outcome(), BootstrapFailure::insufficientSpace);
    EXPECT_TRUE(entries(small.path()).empty());
}

TEST_F(DownloadTest, DestructorCancelsAndWaits) {
    server.route("/slow", {.body = noise(2 * MiB), .stallAfter = 1000});
    std::atomic<int> outcomes = 0;
    std::exception_ptr error;
    {
        BootstrapDownload download(
            manifestFor(server.url("/slow"), 2 * MiB), destination, [](std::int64_t) {},
            trustingTestAuthority(), quickOptions());
        download.fetch([&](std::exception_ptr e) {
            error = e;
            ++outcomes;
        });
        while (server.requests("/slow") == 0)
            std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(outcomes, 1);
    EXPECT_EQ(BootstrapFailure::classify(error, BootstrapFailure::download),
              BootstrapFailure::cancelled);
    EXPECT_TRUE(entries(dir.path()).empty());
}

// cancel() from another thread at random moments of a short transfer: one outcome each time,
// and it matches what is on disk.
TEST_F(DownloadTest, OneOutcomeWhenCancelRacesTheTransfer) {
    const std::string tail = noise(MiB + 4096);
    server.route("/tail", {.body = tail, .pieceBytes = 16 * 1024});
    std::mt19937 random(11);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        Fetch fetch(manifestFor(server.url("/tail"), static_cast<std::int64_t>(tail.size())),
                    destination);
        const auto delay = std::chrono::microseconds(random() % 40'000);
        fetch.start();
        std::thread canceller([&] {
            std::this_thread::sleep_for(delay);
            fetch.download.cancel();
        });
        const auto outcome = fetch.outcome();
        canceller.join();
        EXPECT_EQ(fetch.outcomes(), 1);
        EXPECT_FALSE(fetch.lateProgress());
        if (outcome) {
            EXPECT_EQ(*outcome, BootstrapFailure::cancelled);
            EXPECT_TRUE(entries(dir.path()).empty());
        } else {
            EXPECT_TRUE(readFile(destination) == tail) << "the tail differs";
            std::filesystem::remove(destination);
        }
    }
}

// Drops at random offsets: the tail is byte-identical, each resumption asks for exactly the
// bytes that are missing, and the server hands out no more than the tail plus what was in
// flight at each drop.
TEST_F(DownloadTest, ResumesAfterDropsAtRandomOffsets) {
    const std::string tail = noise(6 * MiB + 123);
    std::mt19937 random(5);
    // Bytes of 0x80 and above are allowed in both (obs-text) and must go back exactly.
    for (const auto& validator : {std::pair<std::string, std::string>{"ETag", "\"v1\""},
                                  {"Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"},
                                  {"ETag", "\"v\xE9-\xFF\x80\""},
                                  {"Last-Modified", "Tue, 01 D\xE9"
                                                    "c 2026 10:00:00 GMT\xA0"}}) {
        SCOPED_TRACE(validator.first + ": " + validator.second);
        std::vector<std::size_t> drops;
        for (int i = 0; i < 4; ++i)
            drops.push_back(1 + random() % (tail.size() - 1));
        std::sort(drops.begin(), drops.end());
        drops.erase(std::unique(drops.begin(), drops.end()), drops.end());
        HttpsTestServer flaky;
        flaky.route("/tail",
                    {.headers = {validator}, .body = tail, .ranges = true, .dropsAt = drops});
        Fetch fetch(manifestFor(flaky.url("/tail"), static_cast<std::int64_t>(tail.size())),
                    destination);
        fetch.start();
        ASSERT_EQ(fetch.outcome(), std::nullopt);
        EXPECT_TRUE(readFile(destination) == tail) << "the tail differs";
        EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Download.bin"});
        EXPECT_EQ(flaky.requests("/tail"), static_cast<int>(drops.size()) + 1);
        // Every drop followed new bytes: each resumption went at once, without a wait.
        EXPECT_EQ(fetch.waits(), 0);
        EXPECT_EQ(flaky.lastHeader("/tail", "If-Range"), validator.second);
        EXPECT_EQ(flaky.lastHeader("/tail", "Range").substr(0, 6), "bytes=");
        EXPECT_LE(flaky.bytesServed(), tail.size() + drops.size() * 64 * 1024);
        EXPECT_FALSE(fetch.startedOver());
        EXPECT_EQ(fetch.progress().back(), static_cast<std::int64_t>(tail.size()));
        std::filesystem::remove(destination);
    }
}

// Answers to the ranged request that cannot continue the kept bytes: the download starts over
// from byte 0, never splicing, and still ends with the exact tail.
TEST_F(DownloadTest, RangedAnswersThatDoNotFitStartOver) {
    const std::string tail = noise(5 * MiB);
    const std::size_t drop = 2 * MiB + 77;
    const auto etag = std::pair<std::string, std::string>{"ETag", "\"v1\""};
    const struct {
        const char* name;
        HttpsTestServer::Route route;
        bool startsOver;
        int requests;
    } cases[] = {
        {"honest 206", {.headers = {etag}, .ranges = true}, false, 2},
        {"200 to a ranged request", {.headers = {etag}, .ranges = false}, true, 2},
        {"ETag changed, If-Range ignored",
         {.headers = {etag}, .ranges = true, .ignoreIfRange = true, .rangeETag = "\"v2\""},
         true,
         3},
        {"Content-Range starts elsewhere",
         {.headers = {etag}, .ranges = true, .rangeSkew = 1000},
         true,
         3},
        {"longer complete length", {.headers = {etag}, .ranges = true, .completeSkew = 1}, true, 3},
        {"weak ETag cannot be resumed",
         {.headers = {{"ETag", "W/\"v1\""}}, .ranges = true},
         true,
         2},
        {"ETag with a control byte is never sent back",
         {.headers = {{"ETag", "\"v\x01"
                               "1\""}},
          .ranges = true},
         true,
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpsTestServer hostile;
        auto route = c.route;
        route.body = tail;
        route.dropsAt = {drop};
        hostile.route("/tail", route);
        Fetch fetch(manifestFor(hostile.url("/tail"), static_cast<std::int64_t>(tail.size())),
                    destination);
        fetch.start();
        ASSERT_EQ(fetch.outcome(), std::nullopt);
        EXPECT_TRUE(readFile(destination) == tail) << "the tail differs";
        EXPECT_EQ(fetch.startedOver(), c.startsOver);
        EXPECT_EQ(hostile.requests("/tail"), c.requests);
        for (const auto received : fetch.progress())
            EXPECT_LE(received, static_cast<std::int64_t>(tail.size()));
        std::filesystem::remove(destination);
    }
}

// A drop after new bytes is resumed at once; then five waits between resumptions in a row that
// bring nothing, and the download failure; the tail stays, and a new fetch (Retry) continues it.
// A kept tail recorded for another payload is not continued.
TEST_F(DownloadTest, FiveDropsInARowFailAndALaterFetchContinues) {
    const std::string tail = noise(4 * MiB);
    const std::size_t stuck = 3 * MiB;
    const HttpsTestServer::Route good{
        .headers = {{"ETag", "\"v1\""}}, .body = tail, .ranges = true};
    auto dropping = good;
    dropping.dropAfter = stuck;
    server.route("/tail", dropping);
    const auto manifest = manifestFor(server.url("/tail"), static_cast<std::int64_t>(tail.size()));
    {
        Fetch fetch(manifest, destination);
        fetch.start();
        EXPECT_EQ(fetch.outcome(), BootstrapFailure::download);
        EXPECT_EQ(fetch.waits(), 5);
        EXPECT_EQ(server.requests("/tail"), 7);
        EXPECT_EQ(server.lastHeader("/tail", "Range"), "bytes=" + std::to_string(stuck) + "-");
    }
    EXPECT_EQ(entries(dir.path()),
              (std::vector<std::string>{"Download.bin.partial", "Download.bin.source"}));
    EXPECT_EQ(BootstrapDownload::resumableBytes(destination, manifest), stuck);
    auto other = manifest;
    other.payloadSHA256 = std::string(64, 'b');
    EXPECT_EQ(BootstrapDownload::resumableBytes(destination, other), 0u);

    server.route("/tail", good);
    const std::size_t servedBefore = server.bytesServed();
    {
        Fetch retry(manifest, destination);
        retry.start();
        ASSERT_EQ(retry.outcome(), std::nullopt);
        EXPECT_TRUE(readFile(destination) == tail) << "the tail differs";
        EXPECT_EQ(retry.progress().front(), static_cast<std::int64_t>(stuck));
        EXPECT_EQ(server.bytesServed() - servedBefore, tail.size() - stuck);
    }
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"Download.bin"});

    // The same kept state, but for another payload: thrown away, fetched from byte 0.
    std::filesystem::remove(destination);
    server.route("/tail", dropping);
    {
        Fetch fetch(manifest, destination);
        fetch.start();
        EXPECT_EQ(fetch.outcome(), BootstrapFailure::download);
    }
    server.route("/tail", good);
    other.payloadURL = manifest.payloadURL;
    Fetch fresh(other, destination);
    fresh.start();
    ASSERT_EQ(fresh.outcome(), std::nullopt);
    EXPECT_EQ(server.lastHeader("/tail", "Range"), "");
    EXPECT_TRUE(readFile(destination) == tail) << "the tail differs";
}

// A record that cannot be written (a folder of the user's at its name) leaves the tail without
// resumption: a drop then starts over, the download still succeeds, and the log says why.
TEST_F(DownloadTest, ARecordThatCannotBeWrittenNeverFailsTheDownload) {
    const std::string tail = noise(3 * MiB);
    server.route(
        "/tail",
        {.headers = {{"ETag", "\"v1\""}}, .body = tail, .ranges = true, .dropsAt = {2 * MiB}});
    const auto record = BootstrapDownload::recordPath(destination);
    std::filesystem::create_directory(record);
    writeFile(record / "kept", "x");
    quorvane::test::RecordedLines log;
    Fetch fetch(manifestFor(server.url("/tail"), static_cast<std::int64_t>(tail.size())),
                destination);
    fetch.start();
    ASSERT_EQ(fetch.outcome(), std::nullopt);
    EXPECT_TRUE(readFile(destination) == tail) << "the tail differs";
    EXPECT_TRUE(fetch.startedOver());
    EXPECT_EQ(server.lastHeader("/tail", "Range"), "");
    EXPECT_EQ(readFile(record / "kept"), "x");
    EXPECT_NE(log.all().find("the tail cannot be resumed: its record was not written"),
              std::string::npos)
        << log.all();
}

// Same-user plants where a killed installer left its tail and record: the download never blocks
// on them and never writes through them; the tail is fetched again into a new file.
TEST_F(DownloadTest, PlantsAtTheTailsOrTheRecordsNameAreReplacedNotUsed) {
    const std::string tail = noise(2 * MiB);
    const HttpsTestServer::Route good{
        .headers = {{"ETag", "\"v1\""}}, .body = tail, .ranges = true};
    const auto manifest = manifestFor(server.url("/tail"), static_cast<std::int64_t>(tail.size()));
    const auto partial = BootstrapDownload::partialPath(destination);
    const auto record = BootstrapDownload::recordPath(destination);
    const auto notes = dir / "notes.txt";
    const std::string mine(MiB, 'n');
    const struct {
        const char* name;
        std::function<void()> plant;
    } cases[] = {
        {"a FIFO at the tail's name",
         [&] {
             std::filesystem::remove(partial);
             ASSERT_EQ(::mkfifo(partial.c_str(), 0600), 0);
         }},
        {"a FIFO at the record's name",
         [&] {
             std::filesystem::remove(record);
             ASSERT_EQ(::mkfifo(record.c_str(), 0600), 0);
         }},
        {"the tail a hard link to another file",
         [&] {
             std::filesystem::remove(partial);
             std::filesystem::create_hard_link(notes, partial);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(notes, mine);
        // A tail that a later fetch would continue.
        auto dropping = good;
        dropping.dropAfter = MiB + 10;
        server.route("/tail", dropping);
        {
            Fetch fetch(manifest, destination);
            fetch.start();
            ASSERT_EQ(fetch.outcome(), BootstrapFailure::download);
        }
        ASSERT_EQ(
            entries(dir.path()),
            (std::vector<std::string>{"Download.bin.partial", "Download.bin.source", "notes.txt"}));
        c.plant();
        server.route("/tail", good);
        // In a child of its own: an open that blocks would block for good.
        EXPECT_EQ(quorvane::test::runForked([&] {
                      if (BootstrapDownload::resumableBytes(destination, manifest) != 0)
                          throw std::runtime_error("the plant counts as resumable");
                      Fetch fetch(manifest, destination);
                      fetch.start();
                      if (fetch.outcome())
                          throw std::runtime_error("the download failed");
                  }),
                  0);
        EXPECT_TRUE(readFile(destination) == tail) << "the tail differs";
        EXPECT_TRUE(readFile(notes) == mine) << "the other file was written to";
        EXPECT_EQ(server.lastHeader("/tail", "Range"), "");
        std::filesystem::remove(destination);
        std::filesystem::remove(record);
    }
}

TEST_F(DownloadTest, CancelWhileWaitingToReconnectEndsAtOnce) {
    server.route("/tail", {.headers = {{"ETag", "\"v1\""}},
                           .body = noise(2 * MiB),
                           .dropAfter = MiB,
                           .ranges = true});
    auto options = quickOptions();
    options.reconnectWaits.fill(std::chrono::hours(1));
    Fetch fetch(manifestFor(server.url("/tail"), 2 * MiB), destination, options);
    fetch.start();
    fetch.waitForReconnectWait();
    fetch.download.cancel();
    EXPECT_EQ(fetch.outcome(), BootstrapFailure::cancelled);
    EXPECT_EQ(server.requests("/tail"), 2); // the drop after new bytes was resumed at once
    EXPECT_TRUE(entries(dir.path()).empty());
}

// The server's file became shorter than the kept tail's: its 206 announces fewer bytes than the
// rest of the tail. That is the download failure before a byte of it is written, and the kept
// bytes stay for Retry.
TEST_F(DownloadTest, ARangedAnswerShorterThanTheRestFailsAndKeepsTheTail) {
    const std::string tail = noise(3 * MiB);
    const auto etag = std::pair<std::string, std::string>{"ETag", "\"v1\""};
    server.route("/tail", {.headers = {etag}, .body = tail, .dropAfter = MiB, .ranges = true});
    const auto manifest = manifestFor(server.url("/tail"), static_cast<std::int64_t>(tail.size()));
    {
        Fetch fetch(manifest, destination);
        fetch.start();
        ASSERT_EQ(fetch.outcome(), BootstrapFailure::download);
    }
    ASSERT_EQ(BootstrapDownload::resumableBytes(destination, manifest), std::uint64_t(MiB));

    server.route("/tail", {.headers = {etag}, .body = tail.substr(0, 2 * MiB), .ranges = true});
    quorvane::test::RecordedLines log;
    Fetch retry(manifest, destination);
    retry.start();
    EXPECT_EQ(retry.outcome(), BootstrapFailure::download);
    EXPECT_EQ(server.lastHeader("/tail", "Range"), "bytes=" + std::to_string(MiB) + "-");
    EXPECT_EQ(BootstrapDownload::resumableBytes(destination, manifest), std::uint64_t(MiB));
    EXPECT_TRUE(readFile(BootstrapDownload::partialPath(destination)) == tail.substr(0, MiB));
    EXPECT_NE(log.all().find("fewer bytes than the rest of the tail (2097152 expected from byte "
                             "1048576): HTTP 206, Content-Type application/octet-stream, "
                             "Content-Length 1048576, Content-Range bytes 1048576-2097151/2097152"),
              std::string::npos)
        << log.all();
}

// A server that stops sending without closing. After five seconds by the download's clock with
// no new byte the download says it waits for the network, and says so again when bytes flow; a
// stall longer than the stall timeout ends the connection (libcurl's low-speed limit), which is
// resumed like a drop and in the end fails with the tail kept.
TEST_F(DownloadTest, ASilentNetworkIsToldAndAStallEndsTheConnection) {
    const auto etag = std::pair<std::string, std::string>{"ETag", "\"v1\""};
    // The download's clock runs ten times as fast as the real one: a pause of 1.5 s is 15 s.
    const auto start = std::chrono::steady_clock::now();
    auto options = quickOptions();
    options.now = [start] {
        return quorvane::DownloadPacing::Clock::time_point() +
               (std::chrono::steady_clock::now() - start) * 10;
    };
    std::mutex mutex;
    std::vector<bool> notices;
    options.waitingForNetwork = [&](bool waiting) {
        const std::lock_guard lock(mutex);
        notices.push_back(waiting);
    };
    const auto seen = [&] {
        const std::lock_guard lock(mutex);
        return std::exchange(notices, {});
    };

    const std::string tail = noise(3 * 64 * 1024);
    server.route("/pausing", {.headers = {etag},
                              .body = tail,
                              .pieceBytes = 64 * 1024,
                              .pause = 1500ms,
                              .ranges = true});
    {
        Fetch fetch(manifestFor(server.url("/pausing"), static_cast<std::int64_t>(tail.size())),
                    destination, options);
        fetch.start();
        ASSERT_EQ(fetch.outcome(), std::nullopt);
        EXPECT_EQ(server.requests("/pausing"), 1);
    }
    EXPECT_EQ(seen(), (std::vector<bool>{true, false, true, false}));
    std::filesystem::remove(destination);

    const std::size_t stall = 100'000;
    server.route("/stalling",
                 {.headers = {etag}, .body = tail, .stallAfter = stall, .ranges = true});
    options.stallTimeout = 1s;
    quorvane::test::RecordedLines log;
    const auto manifest =
        manifestFor(server.url("/stalling"), static_cast<std::int64_t>(tail.size()));
    Fetch fetch(manifest, destination, options);
    fetch.start();
    EXPECT_EQ(fetch.outcome(), BootstrapFailure::download);
    EXPECT_EQ(server.requests("/stalling"), 7); // at once after the first, then five waits
    EXPECT_EQ(fetch.waits(), 5);
    EXPECT_EQ(BootstrapDownload::resumableBytes(destination, manifest), stall);
    EXPECT_NE(log.all().find("libcurl error 28"), std::string::npos) << log.all();
    const auto stalled = seen();
    ASSERT_FALSE(stalled.empty());
    EXPECT_TRUE(stalled.front());
    EXPECT_FALSE(stalled.back()) << "the notice ends with its connection";
}
