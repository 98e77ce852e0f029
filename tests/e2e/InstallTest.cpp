// The installer's main roads, run for real: first installations, reuse, replacement, refusals
// and Retry.

#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "AppBundle.h"
#include "Digest.h"
#include "E2eTest.h"
#include "FileIo.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

// Every path and byte of a folder tree, to tell whether anything in it changed.
std::string snapshot(const fs::path& root) {
    std::string text;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        text += entry.path().string() + "\n";
        if (entry.is_regular_file())
            text += sha256Hex(readFile(entry.path())) + "\n";
    }
    return text;
}

} // namespace

TEST_F(E2e, FirstInstallationThenReuseOfTheExactBuild) {
    for (const bool prefix : {true, false}) {
        SCOPED_TRACE(prefix ? "with a carried prefix" : "without a prefix");
        E2eWorld world({.prefix = prefix});
        {
            auto run = world.launch();
            expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
        }
        EXPECT_EQ(world.server.requests("/tail"), 1);
        EXPECT_TRUE(world.verifies(world.installedApp(), *world.manifest.installedAppCDHash));
        EXPECT_EQ(world.leftovers(), std::vector<std::string>{});

        auto again = world.launch();
        expectOpenedInstalledApp(*again, again->settle(world.reader()), world);
        EXPECT_EQ(world.server.requests("/tail"), 1) << "the exact build was downloaded again";
    }
}

TEST_F(E2e, ANewerTrustedBuildIsOpenedAndAnOlderOneReplaced) {
    E2eWorld world;
    world.installCopy(world.otherBuild("2.5.0", "2500.1").app);
    {
        auto run = world.launch();
        expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
    }
    EXPECT_EQ(world.server.requests("/tail"), 0);
    EXPECT_EQ(world.describeInstalled(), "2.5.0 (2500.1), valid");

    fs::remove_all(world.installedApp());
    world.installCopy(world.otherBuild("2.3.0", "2300.1").app);
    auto run = world.launch();
    expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
    EXPECT_EQ(world.server.requests("/tail"), 1);
    EXPECT_EQ(world.describeInstalled(), "2.4.1 (2410.1), valid");
    EXPECT_EQ(world.leftovers(), std::vector<std::string>{});
}

TEST_F(E2e, AnUntrustedItemInTheWayIsLeftUntouched) {
    E2eWorld world;
    makeAppBundle(world.installedApp(),
                  {.identifier = std::string(config::productBundleIdentifier),
                   .version = "9.9.9",
                   .build = "9999"},
                  QUORVANE_FIXTURE_APP);
    const std::string before = snapshot(world.applications());

    const FailedRun result = runToFailure(world);
    EXPECT_EQ(result.sentence, sentenceOf(BootstrapFailure::appConflict));
    EXPECT_EQ(snapshot(world.applications()), before);
    EXPECT_EQ(result.leftovers, std::vector<std::string>{});
    recordSurvival("an unsigned app of the same name in the way", result.sentence,
                   "the item, untouched", result.leftovers);
}

TEST_F(E2e, TheProductRunningIsRefusedBeforeAnyDownload) {
    E2eWorld world;
    const fs::path elsewhere = world.root / "elsewhere" / std::string(config::bundleName);
    makeAppBundle(elsewhere,
                  {.identifier = std::string(config::productBundleIdentifier),
                   .version = "2.4.1",
                   .build = "2410.1"},
                  QUORVANE_FIXTURE_APP);
    const FailedRun result =
        runToFailure(world, {}, {}, {}, elsewhere / "Contents" / "MacOS" / "Quorvane Pro");
    EXPECT_EQ(result.sentence, sentenceOf(BootstrapFailure::appRunning));
    EXPECT_EQ(world.server.requests(), 0);
    EXPECT_EQ(result.installed, "none");
    EXPECT_EQ(result.leftovers, std::vector<std::string>{});
    recordSurvival("the product app already running", result.sentence, result.installed,
                   result.leftovers);
}

TEST_F(E2e, RetryAfterAnInstallationFailureInstallsWithoutDownloadingAgain) {
    E2eWorld world;
    // Another installer holds the Applications folder's lock during the first attempt.
    fs::create_directories(world.applications());
    std::optional<FileDescriptor> lock(
        FileDescriptor(::open(world.applications().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    ASSERT_TRUE(*lock);
    ASSERT_EQ(::flock(lock->get(), LOCK_EX | LOCK_NB), 0);

    auto run = world.launch();
    const auto failed = run->settle(world.reader());
    lock.reset();
    ASSERT_EQ(failed.sentence, sentenceOf(BootstrapFailure::installation));
    EXPECT_EQ(world.server.requests("/tail"), 1);

    run->click(world.reader().retryPoint());
    expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
    EXPECT_EQ(world.server.requests("/tail"), 1) << "Retry downloaded the package again";
    EXPECT_EQ(world.describeInstalled(), "2.4.1 (2410.1), valid");
    EXPECT_EQ(world.leftovers(), std::vector<std::string>{});
}
