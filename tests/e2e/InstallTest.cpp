// The installer's main roads, run for real: first installations, reuse, replacement, refusals
// and Retry.

#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "AppBundle.h"
#include "Digest.h"
#include "E2eTest.h"
#include "Process.h"
#include "base/FileIo.h"

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
                   .build = "9999.1"},
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

// An unprivileged user (root ignores permission bits, so it would prove nothing) under the
// umasks people use, down to one that takes the owner's own write bit away: every folder the
// installer and its tools make must stay usable by their owner.
TEST_F(E2e, InstallsForAnUnprivilegedUserUnderRestrictiveUmasks) {
    constexpr uid_t user = 61'234;
    for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0277}}) {
        char name[8];
        std::snprintf(name, sizeof name, "%04o", static_cast<unsigned>(mask));
        SCOPED_TRACE(std::string("umask ") + name);
        E2eWorld world;
        world.handTo(user);
        RunOptions options;
        options.user = RunAs{user, mask};
        auto run = world.launch({}, {}, {}, options);
        const auto outcome = run->settle(world.reader());
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.sentence.value_or("(no sentence)");
        const auto running = run->executables();
        const std::string executable =
            (world.installedApp() / "Contents/MacOS/Quorvane Pro").string();
        EXPECT_NE(std::find(running.begin(), running.end(), executable), running.end())
            << "the installed app is not running";
        EXPECT_TRUE(world.verifies(world.installedApp(), *world.manifest.installedAppCDHash));
        EXPECT_EQ(world.leftovers(), std::vector<std::string>{});
    }
}

// After installing, the desktop knows the app: a valid entry and its icon in the home's data
// folder, and the desktop's own launcher starts the installed app from that entry. An entry
// removed by hand comes back with the next run, which reuses the copy; a data folder that
// cannot be written costs the installation nothing.
TEST_F(E2e, TheInstalledAppIsRegisteredWithTheDesktop) {
    E2eWorld world({.prefix = false});
    const fs::path relativeEntry = ".local/share/applications/com.quorvane.pro.desktop";
    const fs::path entry = world.home / relativeEntry;
    {
        auto run = world.launch();
        expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
    }
    ASSERT_TRUE(fs::exists(entry));
    std::string output;
    EXPECT_EQ(quorvane::test::runCommand({"desktop-file-validate", entry.string()}, &output), 0)
        << output;
    EXPECT_TRUE(
        fs::exists(world.home / ".local/share/icons/hicolor/scalable/apps/com.quorvane.pro.svg"));

    {
        auto launcher =
            world.launchProgram("/usr/bin/gio", {"launch", world.insideHome(relativeEntry)});
        EXPECT_EQ(launcher->exitStatus(std::chrono::seconds(30)), 0);
        bool started = false;
        for (int i = 0; i < 500 && !started; ++i) {
            const auto running = launcher->executables();
            started = std::find(running.begin(), running.end(),
                                world.installedExecutableInside()) != running.end();
            if (!started)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(started) << "the entry did not start the installed app";
    }

    fs::remove(entry);
    {
        auto again = world.launch();
        expectOpenedInstalledApp(*again, again->settle(world.reader()), world);
    }
    EXPECT_TRUE(fs::exists(entry)) << "reuse did not rewrite the missing entry";

    fs::remove(entry);
    fs::remove_all(world.applications());
    {
        RunOptions options;
        options.readOnly = world.insideHome(".local/share/applications");
        auto readOnly = world.launch({}, {}, {}, options);
        expectOpenedInstalledApp(*readOnly, readOnly->settle(world.reader()), world);
    }
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(world.verifies(world.installedApp(), *world.manifest.installedAppCDHash));
    EXPECT_EQ(world.server.requests("/tail"), 2);
}
