#include "FakeTools.h"
#include "TempDir.h"
#include "install/BootstrapSystemInstaller.h"
#include "install/SystemInstallerDetail.h"

#include <string>

#include <gtest/gtest.h>

#include <quorvane/BuildConfig.h>

namespace fs = std::filesystem;
using quorvane::BootstrapSystemInstaller::hasValidSignature;
using namespace quorvane::test;
namespace config = quorvane::config;

namespace {

struct CodeSignature : ::testing::Test {
    TempDir tmp;
    FakeTools tools{tmp / "tools"};
    quorvane::SystemContext context = tools.context(tmp / "user");
    fs::path bundle = tmp / "apps" / "Quorvane Pro.app";
};

std::string baseRequirement() {
    return "identifier \"" + std::string(config::productBundleIdentifier) +
           "\" and anchor apple generic and certificate leaf[subject.OU] = \"" +
           std::string(config::pinnedTeamIdentifier) +
           "\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";
}

} // namespace

TEST_F(CodeSignature, HandsTheToolFiveArgumentsWithTheHashInLowerCase) {
    makeApp(bundle);
    const std::string mixed = "ABCDEFabcdef0123456789ABCDEF0123456789aB";
    const std::string lower = "abcdefabcdef0123456789abcdef0123456789ab";
    const auto manifest = testManifest("2.9", "2.9.412", mixed);

    hasValidSignature(bundle, manifest, true, context);
    EXPECT_EQ(tools.codesignArguments(),
              (std::vector<std::string>{
                  "--verify", "--deep", "--strict",
                  "-R=" + baseRequirement() + " and cdhash H\"" + lower + "\"", bundle.string()}));

    hasValidSignature(bundle, manifest, false, context);
    EXPECT_EQ(tools.codesignArguments(),
              (std::vector<std::string>{"--verify", "--deep", "--strict", "-R=" + baseRequirement(),
                                        bundle.string()}));
}

TEST_F(CodeSignature, IsTrueExactlyWhenTheToolAcceptsTheRequirement) {
    struct Case {
        const char* name;
        AppFixture app;
        bool pinned;
        bool expected;
    };
    const Case cases[] = {
        {"pinned build, pinned", {}, true, true},
        {"pinned build, unpinned", {}, false, true},
        {"upper-case hash in the signature", AppFixture().withHash(std::string(40, 'A')), true,
         true},
        {"other hash, pinned", AppFixture().withHash(hashB), true, false},
        {"other hash, unpinned", AppFixture().withHash(hashB), false, true},
        {"other identifier", AppFixture().withIdentifier("com.example.other"), false, false},
        {"other team", AppFixture().withTeam("ZZZZZZZZZZ"), false, false},
        {"unsigned", AppFixture().unsigned_(), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(bundle);
        makeApp(bundle, c.app);
        EXPECT_EQ(hasValidSignature(bundle, testManifest(), c.pinned, context), c.expected);
    }
}

TEST_F(CodeSignature, OnlyARealFolderIsCheckedAtAll) {
    makeApp(bundle);
    fs::create_directories(tmp / "other");
    fs::create_directory_symlink(bundle, tmp / "other" / "link.app");
    writeFile(tmp / "other" / "file.app", "not a bundle");
    for (const fs::path& item :
         {tmp / "other" / "link.app", tmp / "other" / "file.app", tmp / "other" / "none.app"}) {
        SCOPED_TRACE(item);
        for (const bool pinned : {true, false})
            EXPECT_FALSE(hasValidSignature(item, testManifest(), pinned, context));
    }
    EXPECT_EQ(tools.codesignCalls(), 0);
}

TEST_F(CodeSignature, PinningNeedsAWellFormedHash) {
    makeApp(bundle);
    // Only a validated manifest should get here; a hash that could bend the requirement must
    // not reach the tool even so.
    for (const auto& hash : std::vector<std::optional<std::string>>{
             std::nullopt, "", std::string(39, 'a'), std::string(41, 'a'),
             std::string(38, 'a') + "\" or identifier \"x", std::string(39, 'a') + "g"}) {
        SCOPED_TRACE(hash.value_or("(none)"));
        EXPECT_FALSE(
            hasValidSignature(bundle, testManifest("2.9", "2.9.412", hash), true, context));
    }
    EXPECT_EQ(tools.codesignCalls(), 0);
}

TEST_F(CodeSignature, AToolThatCannotStartIsAFailedCheck) {
    makeApp(bundle);
    context.codesign = (tmp / "tools" / "missing").string();
    EXPECT_FALSE(hasValidSignature(bundle, testManifest(), false, context));
}
