#pragma once

#include <gtest/gtest.h>

#include "E2eWorld.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane::test {

class E2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = e2eUnavailable(); !why.empty())
            GTEST_SKIP() << why;
    }
};

// The installer ended after opening the installed app from the destination.
inline void expectOpenedInstalledApp(InstallerRun& run, const InstallerRun::Outcome& outcome,
                                     const E2eWorld& world) {
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.sentence.value_or("(no sentence)");
    const auto running = run.executables();
    EXPECT_NE(std::find(running.begin(), running.end(), world.installedExecutableInside()),
              running.end())
        << "the installed app is not running";
}

// What a failed run left: the sentence, then (after the window was closed) the destination and
// any staging or work folders.
struct FailedRun {
    std::string sentence;
    std::string installed;
    std::vector<std::string> leftovers;
};

inline FailedRun runToFailure(E2eWorld& world, std::optional<std::filesystem::path> home = {},
                              std::optional<std::filesystem::path> tmp = {},
                              std::optional<std::filesystem::path> applications = {},
                              const std::filesystem::path& alsoRunning = {}) {
    auto run = world.launch(home, tmp, alsoRunning);
    const auto outcome = run->settle(world.reader());
    EXPECT_FALSE(outcome.exitStatus) << "the installer ended instead of failing";
    FailedRun result;
    result.sentence = outcome.sentence.value_or("(none)");
    if (outcome.sentence) {
        EXPECT_EQ(run->close(world.reader()), 0) << "closing the window did not end it";
    }
    run->stopNamespace();
    result.installed = world.describeInstalled(applications);
    result.leftovers = world.leftovers(tmp, applications);
    return result;
}

inline const std::string& sentenceOf(const BootstrapFailure& failure) {
    return failure.message();
}

} // namespace quorvane::test
