#include "RunRig.h"

#include "EventLoop.h"
#include "Process.h"
#include "SmallFileSystem.h"
#include "Workspace.h"
#include "download/BootstrapDownload.h"
#include "manifest/BootstrapFailure.h"
#include "staging/StagingFolders.h"

#include <functional>
#include <future>

#include <gtest/gtest.h>

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

using Phases = std::vector<std::string>;
const std::string checking = "checking", downloading = "downloading", verifying = "verifying",
                  installing = "installing";
std::string failed(const BootstrapFailure& f) {
    return "failed: " + f.message();
}

// The sequence of a first installation that downloads: verifying begins when the transfer ends
// and lasts through the assembly and the checks.
const Phases firstInstallation = {checking, downloading, verifying, installing};

} // namespace

TEST(InstallationRun, FirstInstallationWithAndWithoutACarriedPrefix) {
    for (const bool prefix : {true, false}) {
        RunRig rig({.prefix = prefix});
        rig.startAndSettle();
        EXPECT_EQ(rig.phases, firstInstallation) << prefix;
        EXPECT_EQ(rig.terminated, 1);
        EXPECT_TRUE(fs::is_directory(rig.installedApp() / "Contents"));
        EXPECT_EQ(workspace::runningApplications(config::productBundleIdentifier).size(), 1u);
        EXPECT_TRUE(rig.stagingFolders().empty()) << "staging removed before quitting";
        EXPECT_FALSE(rig.model->stagingDirectory());
        EXPECT_EQ(rig.server.requests("/tail"), 1);
        EXPECT_EQ(rig.model->received(),
                  rig.manifest.payloadBytes - rig.manifest.embeddedPackageBytes.value_or(0));
        EXPECT_EQ(rig.server.lastHeader("/tail", "Accept-Encoding"), "identity");
        EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
    }
}

TEST(InstallationRun, ReusesTheExactBuildWithoutDownloading) {
    RunRig rig;
    rig.makeProductBundle(rig.installedApp());
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, Phases{checking});
    EXPECT_EQ(rig.terminated, 1);
    EXPECT_EQ(rig.model->received(), 0);
    EXPECT_TRUE(rig.stagingFolders().empty());
    EXPECT_EQ(rig.server.requests(), 0);
    EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
}

TEST(InstallationRun, RefusesWhileTheProductRunsElsewhere) {
    RunRig rig;
    const fs::path elsewhere = rig.root / "elsewhere" / "Quorvane Pro.app";
    rig.makeProductBundle(elsewhere, "1.0", "100.1");
    ASSERT_TRUE(workspace::openApplication(elsewhere, std::chrono::seconds(10)));
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, (Phases{checking, failed(BootstrapFailure::appRunning)}));
    EXPECT_TRUE(rig.stagingFolders().empty());
    EXPECT_EQ(rig.server.requests(), 0);
    EXPECT_EQ(rig.terminated, 0);
}

TEST(InstallationRun, OpeningAReusableCopyWhileAnotherCopyRunsIsAppRunning) {
    RunRig rig;
    const fs::path elsewhere = rig.root / "elsewhere" / "Quorvane Pro.app";
    rig.makeProductBundle(elsewhere, "1.0", "100.1");
    ASSERT_TRUE(workspace::openApplication(elsewhere, std::chrono::seconds(10)));
    rig.makeProductBundle(rig.installedApp());
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, (Phases{checking, failed(BootstrapFailure::appRunning)}));
    EXPECT_EQ(rig.terminated, 0);
}

TEST(InstallationRun, RetryAfterAnInstallationFailureInstallsWithoutASecondDownload) {
    RunRig rig;
    rig.setFault("expand", true);
    rig.startAndSettle();
    Phases expected = firstInstallation;
    expected.push_back(failed(BootstrapFailure::installation));
    EXPECT_EQ(rig.phases, expected);
    ASSERT_TRUE(rig.model->verifiedPackage());
    EXPECT_TRUE(fs::exists(*rig.model->verifiedPackage())) << "the verified package survives";
    EXPECT_EQ(rig.stagingFolders().size(), 1u);

    rig.setFault("expand", false);
    rig.phases.clear();
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, (Phases{checking, verifying, installing}));
    EXPECT_EQ(rig.terminated, 1);
    EXPECT_EQ(rig.server.requests("/tail"), 1);
    EXPECT_TRUE(rig.stagingFolders().empty());
    EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
}

TEST(InstallationRun, AStoredPackageThatFailsReverificationIsDownloadedAgain) {
    RunRig rig;
    rig.setFault("codesign", true); // the expanded app fails its signature check
    rig.startAndSettle();
    EXPECT_EQ(rig.phases.back(), failed(BootstrapFailure::signature));
    ASSERT_TRUE(rig.model->verifiedPackage());
    // Damage the stored package: the next attempt must catch it and start over.
    writeFile(*rig.model->verifiedPackage(), std::string(rig.package.size(), 'x'));
    rig.setFault("codesign", false);
    rig.phases.clear();
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, (Phases{checking, verifying, failed(BootstrapFailure::checksum)}));
    EXPECT_TRUE(rig.stagingFolders().empty());
    EXPECT_FALSE(rig.model->verifiedPackage());

    rig.phases.clear();
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, firstInstallation);
    EXPECT_EQ(rig.server.requests("/tail"), 2);
    EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
}

TEST(InstallationRun, FailuresBeforeInstallingRemoveTheStagingFolder) {
    const struct {
        const char* name;
        std::function<void(RunRig&)> arrange;
        Phases expected;
    } cases[] = {
        {"server answers 404",
         [](RunRig& r) { r.server.route("/tail", {.status = 404, .body = "missing"}); },
         {checking, downloading, failed(BootstrapFailure::download)}},
        {"package unsigned",
         [](RunRig& r) { r.setFault("signature", true); },
         {checking, downloading, verifying, failed(BootstrapFailure::signature)}},
        {"prefix resource missing",
         [](RunRig& r) { fs::remove(r.resources / "PackageBase.bin"); },
         {checking, downloading, verifying, failed(BootstrapFailure::configuration)}},
        {"prefix of the wrong length",
         [](RunRig& r) { writeFile(r.resources / "PackageBase.bin", "short"); },
         {checking, downloading, verifying, failed(BootstrapFailure::size)}},
        {"temporary directory missing",
         [](RunRig& r) { fs::remove_all(r.temporary); },
         {checking, downloading, failed(BootstrapFailure::installation)}},
    };
    for (const auto& c : cases) {
        RunRig rig;
        c.arrange(rig);
        rig.startAndSettle();
        EXPECT_EQ(rig.phases, c.expected) << c.name;
        if (fs::exists(rig.temporary)) {
            EXPECT_TRUE(rig.stagingFolders().empty()) << c.name;
        }
        EXPECT_FALSE(rig.model->stagingDirectory()) << c.name;
        EXPECT_EQ(rig.terminated, 0) << c.name;
    }
}

// A connection that keeps dropping ends in the download sentence with the partial tail kept;
// Retry asks only for the missing bytes and installs.
TEST(InstallationRun, RetryAfterADownloadFailureContinuesTheKeptTail) {
    RunRig rig;
    const std::string tail = rig.package.substr(1 << 20);
    const HttpsTestServer::Route good{
        .headers = {{"ETag", "\"t1\""}}, .body = tail, .ranges = true};
    auto dropping = good;
    dropping.dropAfter = tail.size() / 2;
    rig.server.route("/tail", dropping);
    rig.startAndSettle();
    const std::string reconnecting = "downloading, reconnecting";
    Phases expected = {checking, downloading};
    for (int i = 0; i < 5; ++i) {
        expected.push_back(reconnecting);
        expected.push_back(downloading);
    }
    expected.push_back(failed(BootstrapFailure::download));
    EXPECT_EQ(rig.phases, expected);
    ASSERT_EQ(rig.stagingFolders().size(), 1u);
    const auto kept = rig.stagingFolders().front();

    rig.server.route("/tail", good);
    rig.phases.clear();
    const std::size_t served = rig.server.bytesServed();
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, firstInstallation);
    EXPECT_EQ(rig.server.lastHeader("/tail", "Range"),
              "bytes=" + std::to_string(tail.size() / 2) + "-");
    EXPECT_EQ(rig.server.bytesServed() - served, tail.size() - tail.size() / 2);
    EXPECT_FALSE(fs::exists(kept));
    EXPECT_EQ(rig.terminated, 1);
    EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
}

// What an installer killed mid-download leaves: its staging folder with the kept tail, and no
// lock. A new run adopts the one recorded for its payload, continues it, and removes the rest.
TEST(InstallationRun, ANewRunContinuesTheTailOfAKilledInstaller) {
    RunRig rig;
    const std::string tail = rig.package.substr(1 << 20);
    const HttpsTestServer::Route good{
        .headers = {{"ETag", "\"t1\""}}, .body = tail, .ranges = true};
    auto dropping = good;
    dropping.dropAfter = tail.size() / 3;
    rig.server.route("/tail", dropping);
    const auto leaveTail = [&](const std::string& uuid, const BootstrapManifest& manifest) {
        const fs::path folder = rig.temporary / ("quorvane-installer-" + uuid);
        fs::create_directory(folder);
        DownloadOptions options;
        options.reconnectWaits.fill(std::chrono::milliseconds(1));
        std::promise<std::exception_ptr> outcome;
        BootstrapDownload download(manifest, folder / "Download.bin", {},
                                   rig.model->environment().system, options);
        download.fetch([&](std::exception_ptr e) { outcome.set_value(e); });
        EXPECT_TRUE(outcome.get_future().get());
        return folder;
    };
    auto other = rig.manifest;
    other.payloadSHA256 = std::string(64, 'b');
    const fs::path foreign = leaveTail("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", other);
    const fs::path ours = leaveTail("11111111-2222-3333-4444-555555555555", rig.manifest);
    ASSERT_EQ(BootstrapDownload::resumableBytes(ours / "Download.bin", rig.manifest),
              tail.size() / 3);

    rig.server.route("/tail", good);
    const std::size_t served = rig.server.bytesServed();
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, firstInstallation);
    EXPECT_EQ(rig.server.lastHeader("/tail", "Range"),
              "bytes=" + std::to_string(tail.size() / 3) + "-");
    EXPECT_EQ(rig.server.bytesServed() - served, tail.size() - tail.size() / 3);
    EXPECT_TRUE(rig.stagingFolders().empty());
    EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
}

// No room for the package: the space sentence at once, before any request.
TEST(InstallationRun, NoRoomForThePackageFailsBeforeARequest) {
    RunRig rig;
    SmallFileSystem small(rig.root / "small", 1 << 20);
    if (!small.mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    fs::remove_all(rig.temporary);
    fs::create_symlink(small.path(), rig.temporary);
    rig.startAndSettle();
    EXPECT_EQ(rig.phases,
              (Phases{checking, downloading, failed(BootstrapFailure::insufficientSpace)}));
    EXPECT_EQ(rig.server.requests(), 0);
    EXPECT_TRUE(fs::is_empty(small.path()));
}

TEST(InstallationRun, AnInstalledAppThatCannotOpenIsALaunchFailureAndStaysInPlace) {
    RunRig rig;
    fs::remove(rig.tools / "expanded" / "Quorvane Pro.app" / "Contents" / "MacOS" / "Quorvane Pro");
    rig.startAndSettle();
    Phases expected = firstInstallation;
    expected.push_back(failed(BootstrapFailure::launch));
    EXPECT_EQ(rig.phases, expected);
    EXPECT_TRUE(fs::exists(rig.installedApp() / "Contents" / "Info.plist"));
    EXPECT_EQ(rig.stagingFolders().size(), 1u) << "kept for Retry";
}

TEST(InstallationRun, CancelledWhileDownloadingKeepsThePhaseAndLeavesNoStaging) {
    RunRig rig;
    rig.server.route("/tail", {.body = rig.package.substr(1 << 20),
                               .pieceBytes = 16 * 1024,
                               .pause = std::chrono::milliseconds(50)});
    rig.model->start();
    const auto operation = rig.model->operation();
    ASSERT_TRUE(spinUntil([&] { return rig.model->received() > 0; }));
    operation.cancel();
    ASSERT_TRUE(spinUntil([&] { return operation.isDone(); }));
    EXPECT_EQ(rig.model->phase(), InstallerPhase::downloading());
    EXPECT_TRUE(rig.stagingFolders().empty());
    EXPECT_EQ(rig.terminated, 0);
}

TEST(Workspace, OpeningAnAlreadyRunningBundleAnswersWithIt) {
    RunRig rig;
    const fs::path bundle = rig.root / "apps" / "Quorvane Pro.app";
    rig.makeProductBundle(bundle);
    const auto first = workspace::openApplication(bundle, std::chrono::seconds(10));
    ASSERT_TRUE(first);
    EXPECT_TRUE(workspace::sameBundle(*first, bundle));
    // A second open starts nothing new: the running one answers, also through a link.
    fs::create_directory_symlink(bundle, rig.root / "link.app");
    const auto second = workspace::openApplication(rig.root / "link.app", std::chrono::seconds(10));
    ASSERT_TRUE(second);
    EXPECT_TRUE(workspace::sameBundle(*second, rig.root / "link.app"));
    EXPECT_EQ(workspace::runningApplications(config::productBundleIdentifier).size(), 1u);
    EXPECT_EQ(stopAppsIn(bundle), 1);
}

TEST(Workspace, SameBundleComparesResolvedPathsAndCanonicalSpellings) {
    TempDir dir;
    const fs::path composed = dir / "Caf\u00e9.app";    // é as one scalar
    const fs::path decomposed = dir / "Cafe\u0301.app"; // e + combining acute
    fs::create_directory(composed);
    fs::create_directory_symlink(composed, dir / "alias.app");
    EXPECT_TRUE(workspace::sameBundle(composed, dir / "alias.app"));
    EXPECT_TRUE(workspace::sameBundle(composed, decomposed));
    EXPECT_FALSE(workspace::sameBundle(composed, dir / "Other.app"));
    EXPECT_EQ(workspace::enclosingBundle("/a/B.app/Contents/MacOS/B"), fs::path("/a/B.app"));
    EXPECT_EQ(workspace::enclosingBundle("/usr/bin/true"), std::nullopt);
}

TEST(InstallationRun, RemovesStagingFoldersOfKilledInstallersButNotOfLiveOnes) {
    RunRig rig;
    const fs::path abandoned =
        rig.temporary / "quorvane-installer-0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    const fs::path live = rig.temporary / "quorvane-installer-11111111-2222-3333-4444-555555555555";
    fs::create_directory(abandoned);
    fs::create_directory(live);
    const FileDescriptor held = lockStagingFolder(live);
    rig.startAndSettle();
    EXPECT_EQ(rig.terminated, 1);
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
}
