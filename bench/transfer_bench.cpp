// Compares package transfer with the reference tools on the same data, in one run:
//   SHA-256 verification of 1 GiB      vs  openssl dgst -sha256
//   assembly, N = 64 MiB, D = 1 GiB    vs  cat prefix tail > out; sync out
//   download of a 1 GiB tail          vs  curl -o, from the same loopback HTTPS server
//   a 1 GiB tail with 3 dropped connections  vs  curl -C - run again after each drop
//   the progress reports' cadence on a 50 KB/s link
//   peak memory of each operation for 64 MiB and 1 GiB inputs
// Every measured operation runs in a child process of its own, so that its time includes the
// same process start as the tool's, and it reports its own peak resident size (VmHWM).
//
// The machine is shared, so one pair of timings says little: each round times ours and the
// reference back to back, in alternating order, from the same state (input in the page cache,
// no dirty pages left by the previous run). The figure reported is the median of the rounds'
// ratios, with the lowest and highest ratio as the spread.
//
// Usage: bench_transfer [--rounds N] [--only sha|assemble|download|resume|cadence] [DATA_DIR]

#include "base/FileIo.h"
#include "download/BootstrapDownload.h"
#include "manifest/BootstrapFailure.h"
#include "package/BootstrapVerification.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "HttpsTestServer.h"
#include "TempDir.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using quorvane::BootstrapManifest;

namespace {

constexpr std::uint64_t MiB = 1 << 20;
constexpr std::uint64_t GiB = 1024 * MiB;

struct Run {
    double seconds = 0;
    double peakMiB = 0; // the child's own high-water mark, as it printed it
    std::string out;
};

// Starts args[0] with the arguments, standard output into `outFile`, and waits; with `capture`
// the output is read back. Fails the benchmark on a non-zero exit.
Run spawn(const std::vector<std::string>& args, const fs::path& outFile = "/dev/null",
          bool capture = false) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start %s\n", args[0].c_str());
        std::exit(1);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        ;
    Run run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", args[0].c_str());
        std::exit(1);
    }
    if (capture) {
        run.out = quorvane::test::readFile(outFile);
        // ru_maxrss would not do: posix_spawn starts the child in this process's memory, and
        // the kernel carries that memory's peak over into the child's figure.
        if (const auto at = run.out.find("peak-kB "); at != std::string::npos)
            run.peakMiB = std::stod(run.out.substr(at + 8)) / 1024.0;
    }
    return run;
}

void makeData(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
    if (fs::exists(path) && fs::file_size(path) == size)
        return;
    const auto fd = quorvane::openFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::uint64_t> chunk(MiB / 8);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::uint64_t done = 0; done < size; done += MiB) {
        for (auto& word : chunk) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        quorvane::writeAll(fd.get(), std::span(reinterpret_cast<const char*>(chunk.data()),
                                               std::min<std::uint64_t>(MiB, size - done)));
    }
    ::fsync(fd.get());
}

// A copy for an operation that consumes its input, flushed so that nobody pays for it later.
void copyFile(const fs::path& from, const fs::path& to, std::uint64_t offset, std::uint64_t size) {
    fs::remove(to);
    const auto in = quorvane::openFile(from, O_RDONLY);
    const auto out = quorvane::openFile(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    loff_t inOffset = static_cast<loff_t>(offset);
    for (std::uint64_t left = size; left > 0;) {
        const ssize_t n = ::copy_file_range(in.get(), &inOffset, out.get(), nullptr, left, 0);
        if (n <= 0)
            quorvane::throwErrno("copy_file_range");
        left -= static_cast<std::uint64_t>(n);
    }
    ::fsync(out.get());
}

BootstrapManifest manifest(std::uint64_t total, std::uint64_t n, const std::string& digest,
                           const std::string& url = "https://127.0.0.1/pkg") {
    BootstrapManifest m;
    m.version = "1.0";
    m.build = "1.0.1";
    m.payloadURL = url;
    m.payloadBytes = static_cast<std::int64_t>(total);
    m.embeddedPackageBytes = static_cast<std::int64_t>(n);
    m.payloadSHA256 = digest;
    return m;
}

// ---- the operations, each run in a child ----

// This process's peak resident size (VmHWM), printed for the parent.
void printPeak() {
    const std::string status = quorvane::test::readFile("/proc/self/status");
    const auto at = status.find("VmHWM:");
    std::printf("peak-kB %ld\n", std::strtol(status.c_str() + at + 6, nullptr, 10));
}

int childVerify(const std::string& package, const std::string& digest, const std::string& tool) {
    quorvane::SystemContext context;
    context.pkgutil = tool;
    quorvane::BootstrapVerification::verify(package, manifest(fs::file_size(package), 0, digest),
                                            {}, context);
    printPeak();
    return 0;
}

int childAssemble(const std::string& prefix, const std::string& tail, const std::string& at) {
    const auto n = fs::file_size(prefix);
    const auto d = fs::file_size(tail);
    quorvane::BootstrapVerification::assemble(prefix, tail, at,
                                              manifest(n + d, n, std::string(64, '0')));
    printPeak();
    return 0;
}

int childDownload(const std::string& url, const std::string& destination, std::uint64_t size,
                  const std::string& caFile) {
    quorvane::SystemContext context;
    context.downloadCAFile = caFile;
    std::atomic<std::uint64_t> reports = 0;
    std::promise<std::exception_ptr> outcome;
    const auto start = Clock::now();
    {
        // The product's own waits, clock and timeouts.
        quorvane::BootstrapDownload download(
            manifest(size + 1, 1, std::string(64, '0'), url), destination,
            [&](std::int64_t) { ++reports; }, context, quorvane::DownloadOptions{});
        download.fetch([&](std::exception_ptr e) { outcome.set_value(e); });
        if (const auto error = outcome.get_future().get()) {
            std::fprintf(
                stderr, "download failed: %s\n",
                quorvane::BootstrapFailure::classify(error, quorvane::BootstrapFailure::download)
                    .message()
                    .c_str());
            return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%" PRIu64 " %.3f\n", reports.load(), seconds);
    printPeak();
    return 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Paired timings of one comparison, one pair per round.
struct Pairs {
    std::vector<double> ours, theirs;

    void report(const char* what, const char* tool, double limit) const {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < ours.size(); ++i)
            ratios.push_back(ours[i] / theirs[i]);
        const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("%-32s ours %7.3f s  %-20s %7.3f s  ratio median %.3f [%.3f .. %.3f] "
                    "over %zu rounds (at most %.2f)\n",
                    what, median(ours), tool, median(theirs), median(ratios), *low, *high,
                    ratios.size(), limit);
    }
};

// Flushes what earlier runs left dirty in the page cache, so that no run pays for another's
// writeback.
void settle(const fs::path& folder) {
    const auto fd = quorvane::openFile(folder, O_RDONLY | O_DIRECTORY);
    ::syncfs(fd.get());
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string self = fs::canonical("/proc/self/exe").string();
        if (argc >= 2 && std::string(argv[1]) == "verify" && argc == 5)
            return childVerify(argv[2], argv[3], argv[4]);
        if (argc >= 2 && std::string(argv[1]) == "assemble" && argc == 5)
            return childAssemble(argv[2], argv[3], argv[4]);
        if (argc >= 2 && std::string(argv[1]) == "download" && argc == 6)
            return childDownload(argv[2], argv[3], std::stoull(argv[4]), argv[5]);

        int rounds = 7;
        std::string only;
        fs::path data = QUORVANE_BENCH_DATA_DIR;
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--rounds" && i + 1 < argc)
                rounds = std::max(1, std::stoi(argv[++i]));
            else if (arg == "--only" && i + 1 < argc)
                only = argv[++i];
            else
                data = arg;
        }
        const auto wanted = [&](const char* name) { return only.empty() || only == name; };
        // Even rounds run ours first, odd rounds the reference first, so that neither side
        // always meets the machine in the state the other left it in.
        const auto pair = [](int round, const auto& ours, const auto& theirs) {
            if (round % 2 == 0) {
                ours();
                theirs();
            } else {
                theirs();
                ours();
            }
        };

        fs::create_directories(data);
        const fs::path big = data / "data-1g", small = data / "data-64m";
        std::printf("preparing data in %s\n", data.c_str());
        makeData(big, GiB, 1);
        makeData(small, 64 * MiB, 2);

        // A package tool that accepts: the signature check is not what is measured here.
        const fs::path tool = data / "accepting-pkgutil";
        quorvane::test::writeFile(tool, "#!/bin/sh\n"
                                        "echo 'Status: signed by a certificate trusted by macOS'\n"
                                        "echo 'Developer ID Installer: Bench (Q4ZT8WX2LM)'\n");
        fs::permissions(tool, fs::perms::owner_all);
        const auto digestOf = [&](const fs::path& file) {
            return spawn({"openssl", "dgst", "-sha256", "-r", file.string()}, data / "digest.txt",
                         true)
                .out.substr(0, 64);
        };
        const fs::path peakFile = data / "child-output.txt";
        double verifyPeakSmall = 0, verifyPeakBig = 0, assemblePeakSmall = 0, assemblePeakBig = 0,
               downloadPeakSmall = 0, downloadPeakBig = 0;

        // ---- SHA-256 ----
        if (wanted("sha")) {
            const std::string bigDigest = digestOf(big), smallDigest = digestOf(small);
            Pairs pairs;
            for (int i = 0; i < rounds; ++i)
                pair(
                    i,
                    [&] {
                        const Run o =
                            spawn({self, "verify", big.string(), bigDigest, tool.string()},
                                  peakFile, true);
                        pairs.ours.push_back(o.seconds);
                        verifyPeakBig = std::max(verifyPeakBig, o.peakMiB);
                    },
                    [&] {
                        pairs.theirs.push_back(
                            spawn({"openssl", "dgst", "-sha256", big.string()}).seconds);
                    });
            verifyPeakSmall =
                spawn({self, "verify", small.string(), smallDigest, tool.string()}, peakFile, true)
                    .peakMiB;
            pairs.report("SHA-256 verification, 1 GiB", "openssl dgst -sha256", 1.05);
        }

        // ---- assembly ----
        if (wanted("assemble")) {
            const fs::path prefix = data / "prefix", tail = data / "tail", at = data / "assembled",
                           out = data / "cat-out";
            copyFile(big, prefix, 0, 64 * MiB);
            Pairs pairs;
            for (int i = 0; i < rounds; ++i) {
                // Both start from the same fresh, flushed tail, read once into the cache.
                const auto freshTail = [&] {
                    copyFile(big, tail, 0, GiB);
                    spawn({"cat", tail.string()});
                    settle(data);
                };
                pair(
                    i,
                    [&] {
                        freshTail();
                        const Run o =
                            spawn({self, "assemble", prefix.string(), tail.string(), at.string()},
                                  peakFile, true);
                        pairs.ours.push_back(o.seconds);
                        assemblePeakBig = std::max(assemblePeakBig, o.peakMiB);
                        fs::remove(at);
                    },
                    [&] {
                        freshTail();
                        const Run cat = spawn({"cat", prefix.string(), tail.string()}, out);
                        const Run sync = spawn({"sync", out.string()});
                        pairs.theirs.push_back(cat.seconds + sync.seconds);
                        fs::remove(out);
                    });
            }
            copyFile(big, tail, 0, 64 * MiB);
            settle(data);
            assemblePeakSmall =
                spawn({self, "assemble", prefix.string(), tail.string(), at.string()}, peakFile,
                      true)
                    .peakMiB;
            fs::remove(at);
            fs::remove(tail);
            fs::remove(prefix);
            pairs.report("assembly, N = 64 MiB, D = 1 GiB", "cat > out; sync out", 1.2);
        }

        // ---- download ----
        if (wanted("download")) {
            quorvane::test::HttpsTestServer server;
            server.route("/big", {.bodyFile = big, .pieceBytes = MiB});
            server.route("/small", {.bodyFile = small, .pieceBytes = MiB});
            const std::string ca = (quorvane::test::authorityDirectory() / "root.pem").string();
            const fs::path fetched = data / "fetched";
            spawn({"cat", big.string()}); // the server reads it from the cache
            std::uint64_t reports = 0;
            double ourTransfer = 0;
            Pairs pairs;
            // Neither side flushes its file; dirty pages of the previous run are flushed first.
            const auto clean = [&] {
                fs::remove(fetched);
                settle(data);
            };
            for (int i = 0; i < rounds; ++i)
                pair(
                    i,
                    [&] {
                        clean();
                        const Run o = spawn({self, "download", server.url("/big"), fetched.string(),
                                             std::to_string(GiB), ca},
                                            peakFile, true);
                        pairs.ours.push_back(o.seconds);
                        downloadPeakBig = std::max(downloadPeakBig, o.peakMiB);
                        std::sscanf(o.out.c_str(), "%" SCNu64 " %lf", &reports, &ourTransfer);
                    },
                    [&] {
                        clean();
                        pairs.theirs.push_back(spawn({"curl", "-sS", "--cacert", ca, "-o",
                                                      fetched.string(), server.url("/big")})
                                                   .seconds);
                    });
            clean();
            downloadPeakSmall = spawn({self, "download", server.url("/small"), fetched.string(),
                                       std::to_string(64 * MiB), ca},
                                      peakFile, true)
                                    .peakMiB;
            clean();
            pairs.report("download of a 1 GiB tail", "curl -o", 1.1);
            std::printf("  progress reports: %" PRIu64 " in %.3f s = %.0f per second (one per "
                        "1 MiB written, or per 100 ms)\n",
                        reports, ourTransfer, static_cast<double>(reports) / ourTransfer);
        }

        // ---- resumption ----
        if (wanted("resume")) {
            quorvane::test::HttpsTestServer server;
            const quorvane::test::HttpsTestServer::Route dropping{
                .headers = {{"ETag", "\"bench\""}},
                .bodyFile = big,
                .pieceBytes = MiB,
                .ranges = true,
                .dropsAt = {GiB / 4 + 12345, GiB / 2 + 777, 3 * GiB / 4 + 1}};
            const std::string ca = (quorvane::test::authorityDirectory() / "root.pem").string();
            const fs::path fetched = data / "fetched";
            spawn({"cat", big.string()});
            Pairs pairs;
            std::vector<double> oursServed, theirsServed;
            const auto clean = [&] {
                fs::remove(fetched);
                settle(data);
                server.route("/big", dropping);
            };
            for (int i = 0; i < rounds; ++i)
                pair(
                    i,
                    [&] {
                        clean();
                        const auto before = server.bytesServed();
                        const Run o = spawn({self, "download", server.url("/big"), fetched.string(),
                                             std::to_string(GiB), ca},
                                            peakFile, true);
                        pairs.ours.push_back(o.seconds);
                        oursServed.push_back(static_cast<double>(server.bytesServed() - before) /
                                             GiB);
                    },
                    [&] {
                        clean();
                        const auto before = server.bytesServed();
                        const auto start = Clock::now();
                        // Run again at once after every drop (exit 18: partial file).
                        for (int attempt = 0; attempt < 10; ++attempt) {
                            std::vector<char*> argv;
                            const std::vector<std::string> args{"curl",
                                                                "-sS",
                                                                "--cacert",
                                                                ca,
                                                                "-C",
                                                                "-",
                                                                "-o",
                                                                fetched.string(),
                                                                server.url("/big")};
                            for (const auto& a : args)
                                argv.push_back(const_cast<char*>(a.c_str()));
                            argv.push_back(nullptr);
                            pid_t pid = 0;
                            if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(),
                                             environ) != 0)
                                throw std::runtime_error("cannot start curl");
                            int status = 0;
                            while (::waitpid(pid, &status, 0) < 0)
                                ;
                            if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                                break;
                        }
                        pairs.theirs.push_back(
                            std::chrono::duration<double>(Clock::now() - start).count());
                        theirsServed.push_back(static_cast<double>(server.bytesServed() - before) /
                                               GiB);
                    });
            clean();
            pairs.report("1 GiB tail, 3 drops", "curl -C - (rerun)", 1.1);
            std::printf("  bytes served per tail byte: ours median %.4f, curl -C - median %.4f "
                        "(both resume at once after a drop that brought new bytes)\n",
                        median(oursServed), median(theirsServed));
        }

        // ---- report cadence on a slow link ----
        if (wanted("cadence")) {
            quorvane::test::HttpsTestServer server;
            const std::uint64_t size = 250'000;
            // 5 KB every 100 ms: 50 KB/s.
            server.route("/slow", {.body = std::string(size, 's'),
                                   .pieceBytes = 5000,
                                   .pause = std::chrono::milliseconds(100)});
            const std::string ca = (quorvane::test::authorityDirectory() / "root.pem").string();
            const fs::path fetched = data / "fetched-slow";
            fs::remove(fetched);
            const Run o = spawn(
                {self, "download", server.url("/slow"), fetched.string(), std::to_string(size), ca},
                peakFile, true);
            std::uint64_t reports = 0;
            double seconds = 0;
            std::sscanf(o.out.c_str(), "%" SCNu64 " %lf", &reports, &seconds);
            fs::remove(fetched);
            std::printf("report cadence at 50 KB/s: %" PRIu64 " reports in %.2f s = %.1f per "
                        "second, one per %.0f ms (the rule: at most one per 100 ms)\n",
                        reports, seconds, static_cast<double>(reports) / seconds,
                        1000.0 * seconds / static_cast<double>(reports));
        }

        // ---- memory ----
        if (only.empty()) {
            std::printf("peak resident memory, 64 MiB vs 1 GiB input (same within 4 MiB, under "
                        "32 MiB):\n");
            const auto memoryLine = [](const char* what, double small, double big) {
                std::printf("  %-10s %6.1f MiB  %6.1f MiB   difference %.1f MiB\n", what, small,
                            big, big - small);
            };
            memoryLine("verify", verifyPeakSmall, verifyPeakBig);
            memoryLine("assemble", assemblePeakSmall, assemblePeakBig);
            memoryLine("download", downloadPeakSmall, downloadPeakBig);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_transfer: %s\n", e.what());
        return 1;
    }
}
