// Installers that overlap or die: the destination always holds one whole, valid app.

#include <random>
#include <signal.h>
#include <thread>

#include "E2eTest.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool hasEntry(const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().starts_with(prefix))
            return true;
    return false;
}

// Waits until `dir` holds an entry starting with `prefix`; false if the installer ended first.
bool awaitEntry(InstallerRun& run, const fs::path& dir, const std::string& prefix) {
    while (!hasEntry(dir, prefix))
        if (!run.running())
            return false;
    return true;
}

} // namespace

TEST_F(E2e, TwoInstallersAtOnceOnOneHome) {
    E2eWorld world;
    // Both downloads are answered only once both have asked, so the two runs overlap.
    world.server.route("/tail", {.bodyFile = world.kit.tail, .holdUntilRequests = 2});
    auto first = world.launch();
    ASSERT_TRUE(first->awaitWindow());
    auto second = world.launch();
    std::vector<std::string> observed;
    int opened = 0;
    for (InstallerRun* run : {first.get(), second.get()}) {
        const auto outcome = run->settle(world.reader());
        if (outcome.exitStatus == 0) {
            ++opened;
            observed.push_back("opened the app");
            continue;
        }
        ASSERT_TRUE(outcome.sentence)
            << "an installer ended with status " << outcome.exitStatus.value_or(-1);
        observed.push_back("\"" + *outcome.sentence + "\"");
        EXPECT_TRUE(*outcome.sentence == sentenceOf(BootstrapFailure::installation) ||
                    *outcome.sentence == sentenceOf(BootstrapFailure::appRunning))
            << *outcome.sentence;
        EXPECT_EQ(run->close(world.reader()), 0);
    }
    EXPECT_GE(opened, 1);
    EXPECT_EQ(world.server.requests("/tail"), 2);
    first->stopNamespace();
    second->stopNamespace();
    EXPECT_EQ(world.describeInstalled(), "2.4.1 (2410.1), valid");
    EXPECT_EQ(world.leftovers(), std::vector<std::string>{});
    recordSurvival("two installers started at once on one home",
                   "one: " + observed.at(0) + "; other: " + observed.at(1),
                   world.describeInstalled(), world.leftovers());
}

TEST_F(E2e, KilledAtRandomMomentsWhileInstalling) {
    E2eWorld world;
    const ProductKit old = world.otherBuild("2.3.0", "2300.1");
    const std::string oldCopy = "2.3.0 (2300.1), valid";
    const std::string newCopy = "2.4.1 (2410.1), valid";
    world.installCopy(old.app);

    // One undisturbed run sets the window the kills are spread over: from the work folder's
    // appearance to the installer's end.
    std::chrono::steady_clock::duration installing{};
    {
        auto run = world.launch();
        ASSERT_TRUE(awaitEntry(*run, world.applications(), ".quorvane-"));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(run->exitStatus(120s), 0);
        installing = std::chrono::steady_clock::now() - start;
    }
    const auto window = std::chrono::duration_cast<std::chrono::microseconds>(installing) * 6 / 5;

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<std::int64_t> pick(0, window.count());
    int killed = 0, keptOld = 0, gotNew = 0;
    for (int attempt = 0; attempt < 24; ++attempt) {
        fs::remove_all(world.installedApp());
        world.installCopy(old.app);
        auto run = world.launch();
        if (awaitEntry(*run, world.applications(), ".quorvane-")) {
            std::this_thread::sleep_for(std::chrono::microseconds(pick(random)));
            if (run->running())
                ++killed;
            run->kill();
        }
        run->stopNamespace();
        const std::string installed = world.describeInstalled();
        EXPECT_TRUE(installed == oldCopy || installed == newCopy)
            << "attempt " << attempt << ": " << installed;
        (installed == oldCopy ? keptOld : gotNew) += 1;
    }
    std::cout << "killed " << killed << " of 24 installers; old copy kept " << keptOld
              << " times, new copy in place " << gotNew << " times\n";

    // The next installation clears the work folders of the killed ones and succeeds.
    fs::remove_all(world.installedApp());
    world.installCopy(old.app);
    auto last = world.launch();
    expectOpenedInstalledApp(*last, last->settle(world.reader()), world);
    last->stopNamespace();
    EXPECT_EQ(world.describeInstalled(), newCopy);
    const auto leftovers = world.leftovers(world.root / "none", world.applications());
    EXPECT_EQ(leftovers, std::vector<std::string>{});
    recordSurvival("SIGKILL at random moments while installing (" + std::to_string(killed) +
                       " of 24 killed; old copy kept " + std::to_string(keptOld) + ", new copy " +
                       std::to_string(gotNew) + ")",
                   "(killed: no window left)",
                   "old or new, always whole and valid; then " + world.describeInstalled(),
                   leftovers);
}

TEST_F(E2e, StagingOfAnInstallerKilledMidDownloadIsRemovedByTheNextRun) {
    E2eWorld world;
    world.server.route("/tail",
                       {.bodyFile = world.kit.tail, .pieceBytes = 16 << 10, .pause = 50ms});
    {
        auto run = world.launch();
        ASSERT_TRUE(awaitEntry(*run, world.tmp, "quorvane-installer-"));
        while (world.server.requests("/tail") == 0 && run->running())
            std::this_thread::sleep_for(5ms);
        run->kill();
        run->stopNamespace();
    }
    ASSERT_FALSE(world.leftovers().empty()) << "the kill left no staging folder to clean";

    world.server.route("/tail", {.bodyFile = world.kit.tail});
    auto run = world.launch();
    expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
    run->stopNamespace();
    EXPECT_EQ(world.leftovers(), std::vector<std::string>{});
    recordSurvival("SIGKILL mid-download, then a new run", "(the new run installs)",
                   world.describeInstalled(), world.leftovers());
}
