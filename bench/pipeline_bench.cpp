// Times what a user waits for after the download, against the work no installer can skip, in
// interleaved rounds on the same data:
//   install  verify + install on a fresh Applications folder, against `openssl dgst -sha256` of
//            the package, `bsdtar -xf` of its payload into a fresh folder and one SHA-256 pass
//            over the expanded app's files (`find -exec sha256sum {} +`);
//   update   reuse search + verify + install over an older trusted copy, against the same plus
//            two SHA-256 passes over the old copy's files (the search's check and the one under
//            the lock);
//   reuse    the search alone finding the exact build, against one SHA-256 pass over it.
// It prints the median of the per-round ratios (ours / reference) with their range, and how many
// codesign checks each scenario ran (and how many of them a requirement refused: those read no
// file in this build, so the rest are the full verifications).
//
//   bench_pipeline [--rounds N] [--megabytes M] [--files F]
//
// The data (an app of M MiB in F files with one nested framework, about 2 M MiB in all) lives in
// a fresh folder under $TMPDIR, removed at the end.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "AppBundle.h"
#include "Noise.h"
#include "Process.h"
#include "ProductKit.h"
#include "TempDir.h"
#include "install/BootstrapSystemInstaller.h"
#include "manifest/BootstrapManifest.h"
#include "manifest/SystemContext.h"
#include "package/BootstrapVerification.h"

#include <quorvane/BuildConfig.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace quorvane;
using namespace quorvane::test;

namespace {

struct Options {
    int rounds = 5;
    std::size_t megabytes = 500;
    std::size_t files = 4400;
};

void mustRun(const std::vector<std::string>& argv) {
    std::string output;
    if (runCommand(argv, &output) != 0)
        throw std::runtime_error(argv.at(0) + " failed: " + output);
}

// The app: executable, Info.plist, icon, a versioned framework and `files` resources whose
// bytes are three parts noise, one part text, as real resources compress.
void layOutApp(const fs::path& app, const std::string& version, const std::string& build,
               const Options& options) {
    makeAppBundle(app,
                  {.identifier = std::string(config::productBundleIdentifier),
                   .version = version,
                   .build = build},
                  "/usr/bin/true");
    const fs::path framework = app / "Contents/Frameworks/Kit.framework";
    fs::create_directories(framework / "Versions/A/Resources");
    fs::copy_file("/usr/bin/true", framework / "Versions/A/Kit");
    writeFile(framework / "Versions/A/Resources/Info.plist", "<plist/>\n");
    fs::create_directory_symlink("A", framework / "Versions/Current");
    fs::create_symlink("Versions/Current/Kit", framework / "Kit");
    fs::create_symlink("Versions/Current/Resources", framework / "Resources");
    const std::size_t perFile = (options.megabytes << 20) / options.files;
    const std::string text(perFile / 4, 'q');
    for (std::size_t i = 0; i < options.files; ++i) {
        const fs::path folder =
            (i % 10 == 0 ? framework / "Versions/A/Resources" : app / "Contents/Resources") /
            std::to_string(i % 50);
        fs::create_directories(folder);
        writeFile(folder / ("r" + std::to_string(i)),
                  noise(perFile - text.size(), static_cast<unsigned>(i)) + text);
    }
}

void sign(const fs::path& app, const std::string& identifier) {
    const fs::path authority = fs::path(QUORVANE_BINARY_DIR) / "authority";
    mustRun({builtTool("codesign").string(), "--sign", "--key",
             (authority / "application.key").string(), "--chain",
             (authority / "application-chain.pem").string(), "--identifier", identifier,
             app.string()});
}

// One SHA-256 pass over every regular file under `root`, the way a user would make one:
// find(1) handing the files to sha256sum(1) in batches.
void hashTree(const fs::path& root) {
    mustRun({"find", root.string(), "-type", "f", "-exec", "sha256sum", "{}", "+"});
}

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

template <typename F> double timed(F&& f) {
    const auto start = Clock::now();
    f();
    return seconds(start);
}

struct Scenario {
    std::string name;
    double goal;
    std::vector<double> ratios;
    std::vector<double> ours;
    std::vector<double> reference;
    long checks = 0;
    long refused = 0;
};

// The codesign checks of one run: all of them, and those that ended with status 3.
std::pair<long, long> countChecks(const fs::path& file) {
    if (!fs::exists(file))
        return {0, 0};
    const std::string text = readFile(file);
    long all = 0, refused = 0;
    for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        ++all;
        refused += text.compare(at, 2, "3\n") == 0;
    }
    return {all, refused};
}

void report(const Scenario& s, int rounds) {
    std::vector<double> r = s.ratios;
    std::sort(r.begin(), r.end());
    std::vector<double> ours = s.ours, ref = s.reference;
    std::sort(ours.begin(), ours.end());
    std::sort(ref.begin(), ref.end());
    std::printf("%-8s ours %6.3f s  reference %6.3f s  ratio %.2f (%.2f-%.2f)  goal <= %.1f %s"
                "  codesign checks per run: %ld, of them refused on the requirement: %ld\n",
                s.name.c_str(), ours[ours.size() / 2], ref[ref.size() / 2], r[r.size() / 2],
                r.front(), r.back(), s.goal, r[r.size() / 2] <= s.goal ? "met" : "NOT met",
                s.checks / rounds, s.refused / rounds);
}

int run(const Options& options) {
    TempDir work;
    std::printf("making a signed app of %zu MiB in %zu files and its package...\n",
                options.megabytes, options.files);
    std::fflush(stdout);
    const fs::path kit = work / "kit";
    const fs::path app = kit / "root" / std::string(config::bundleName);
    layOutApp(app, "2.4.1", "2410.1", options);
    sign(app / "Contents/Frameworks/Kit.framework/Versions/A", "com.quorvane.kit");
    sign(app, std::string(config::productBundleIdentifier));
    const fs::path package = kit / std::string(config::packageName);
    mustRun({builtTool("quorvane-pkgbuild").string(), "--root", (kit / "root").string(),
             "--install-location", "/Applications", "--identifier",
             std::string(config::productBundleIdentifier) + ".pkg", "--version", "2.4.1",
             "--sign-key", (fs::path(QUORVANE_BINARY_DIR) / "authority/installer.key").string(),
             "--sign-chain",
             (fs::path(QUORVANE_BINARY_DIR) / "authority/installer-chain.pem").string(),
             package.string()});
    mustRun({builtTool("quorvane-make-resources").string(), "--package", package.string(), "--app",
             app.string(), "--url", "https://downloads.example/Quorvane.pkg", "--output",
             (kit / "Resources").string()});
    const BootstrapManifest manifest =
        BootstrapManifest::decode(readFile(kit / "Resources/Payload.json"));

    const fs::path old = work / "old" / std::string(config::bundleName);
    layOutApp(old, "2.3.0", "2300.1", options);
    sign(old / "Contents/Frameworks/Kit.framework/Versions/A", "com.quorvane.kit");
    sign(old, std::string(config::productBundleIdentifier));

    // The reference expands the payload itself, taken out of the package once.
    mustRun({"bsdtar", "-xf", package.string(), "-C", kit.string(), "Payload"});

    // Records the status of each codesign check: 3 is a requirement refused (before any file is
    // hashed, in this build), anything else a check that read the whole bundle.
    const fs::path counter = work / "verifications";
    const fs::path codesign = writeScript(
        work / "codesign", "#!/bin/sh\n\"" + builtTool("codesign").string() +
                               "\" \"$@\"\nstatus=$?\n[ \"$1\" = --verify ] && echo $status >> \"" +
                               counter.string() + "\"\nexit $status\n");

    SystemContext context;
    context.pkgutil = builtTool("pkgutil").string();
    context.codesign = codesign.string();
    context.systemApplications = work / "no-system-applications";
    const fs::path home = work / "home";
    context.userApplications = home / "Applications";
    const fs::path installed = context.userApplications / std::string(config::bundleName);

    const auto fresh = [&](const fs::path& folder) {
        fs::remove_all(folder);
        fs::create_directories(folder);
    };
    const auto place = [&](const fs::path& source) {
        fresh(context.userApplications);
        mustRun({"cp", "-a", source.string(), context.userApplications.string()});
    };
    const auto ours = [&](bool search) {
        if (search && BootstrapSystemInstaller::reusableApp(manifest, context))
            throw std::runtime_error("the search reused a copy it must replace");
        BootstrapVerification::verify(package, manifest, {}, context);
        BootstrapSystemInstaller::install(package, manifest, context.userApplications, {}, context);
    };
    const auto reference = [&](const fs::path& oldCopy) {
        mustRun({"openssl", "dgst", "-sha256", package.string()});
        const fs::path out = work / "reference";
        fresh(out);
        mustRun({"bsdtar", "-xf", (kit / "Payload").string(), "-C", out.string()});
        hashTree(out);
        if (!oldCopy.empty()) {
            hashTree(oldCopy);
            hashTree(oldCopy);
        }
    };

    std::vector<Scenario> scenarios(3);
    scenarios[0].name = "install", scenarios[0].goal = 1.3;
    scenarios[1].name = "update", scenarios[1].goal = 1.3;
    scenarios[2].name = "reuse", scenarios[2].goal = 1.2;
    for (int round = 0; round < options.rounds; ++round) {
        for (auto& s : scenarios) {
            fs::remove(counter);
            double mine = 0, theirs = 0;
            if (s.name == "install") {
                fresh(context.userApplications);
                mine = timed([&] { ours(false); });
                theirs = timed([&] { reference({}); });
            } else if (s.name == "update") {
                place(old);
                mine = timed([&] { ours(true); });
                place(old);
                theirs = timed([&] { reference(installed); });
            } else {
                place(app);
                mine = timed([&] {
                    if (BootstrapSystemInstaller::reusableApp(manifest, context) != installed)
                        throw std::runtime_error("the search did not reuse the exact build");
                });
                theirs = timed([&] { hashTree(installed); });
            }
            const auto [all, refused] = countChecks(counter);
            s.checks += all;
            s.refused += refused;
            s.ours.push_back(mine);
            s.reference.push_back(theirs);
            s.ratios.push_back(mine / theirs);
        }
    }
    std::printf("%d rounds, %zu MiB app in %zu files, package %.0f MiB\n", options.rounds,
                options.megabytes, options.files,
                static_cast<double>(fs::file_size(package)) / (1 << 20));
    for (const auto& s : scenarios)
        report(s, options.rounds);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view flag = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value <= 0) {
            std::fprintf(stderr, "bench_pipeline: %s needs a positive number\n", argv[i]);
            return 2;
        }
        if (flag == "--rounds")
            options.rounds = static_cast<int>(value);
        else if (flag == "--megabytes")
            options.megabytes = static_cast<std::size_t>(value);
        else if (flag == "--files")
            options.files = static_cast<std::size_t>(value);
        else {
            std::fprintf(stderr,
                         "usage: bench_pipeline [--rounds N] [--megabytes M] [--files F]\n");
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "usage: bench_pipeline [--rounds N] [--megabytes M] [--files F]\n");
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_pipeline: %s\n", e.what());
        return 1;
    }
}
