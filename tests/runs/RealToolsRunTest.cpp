// Whole installation runs with the platform tools of this build and real signed packages.

#include "RunRig.h"

#include "Digest.h"
#include "Process.h"
#include "Workspace.h"
#include "install/SystemInstallerDetail.h"
#include "manifest/BootstrapFailure.h"

#include <gtest/gtest.h>

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

using Phases = std::vector<std::string>;
const Phases firstInstallation = {"checking", "downloading", "verifying", "installing"};
std::string failed(const BootstrapFailure& f) {
    return "failed: " + f.message();
}

} // namespace

TEST(RealToolsRun, InstallsASignedPackageAndTheInstalledAppVerifies) {
    for (const bool prefix : {true, false}) {
        RunRig rig({.prefix = prefix, .realTools = true});
        rig.startAndSettle();
        EXPECT_EQ(rig.phases, firstInstallation) << prefix;
        EXPECT_EQ(rig.terminated, 1);
        EXPECT_EQ(rig.server.requests("/tail"), 1);
        EXPECT_EQ(runCommand({builtTool("codesign").string(), "--verify", "--deep", "--strict",
                              "-R=" + *BootstrapSystemInstaller::detail::codeRequirement(
                                          rig.manifest, true),
                              rig.installedApp().string()}),
                  0);
        EXPECT_TRUE(rig.stagingFolders().empty());
        EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);

        // The same build is found and opened on the next run, with nothing downloaded.
        rig.makeModel();
        rig.startAndSettle();
        EXPECT_EQ(rig.phases, Phases{"checking"});
        EXPECT_EQ(rig.server.requests("/tail"), 1);
        EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
    }
}

TEST(RealToolsRun, APackageFromAnUnknownAuthorityFailsVerification) {
    TempDir other;
    makeAuthority(other.path(), "Q4ZT8WX2LM", "Quorvane Labs", "Look-alike Root CA");
    ProductKitOptions kit;
    kit.packageAuthority = other.path();
    RunRig rig({.realTools = true, .kit = kit});
    rig.startAndSettle();
    EXPECT_EQ(rig.phases, (Phases{"checking", "downloading", "verifying",
                                  failed(BootstrapFailure::signature)}));
    EXPECT_FALSE(fs::exists(rig.installedApp()));
    EXPECT_TRUE(rig.stagingFolders().empty());
}

TEST(RealToolsRun, AnAppTamperedAfterSigningIsRefusedAndNothingIsInstalled) {
    RunRig rig({.realTools = true});
    ASSERT_TRUE(rig.republishWithTamperedApp());

    rig.startAndSettle();
    Phases expected = firstInstallation;
    expected.push_back(failed(BootstrapFailure::signature));
    EXPECT_EQ(rig.phases, expected);
    EXPECT_FALSE(fs::exists(rig.installedApp()));
    for (const auto& entry : fs::directory_iterator(rig.applications))
        ADD_FAILURE() << "left behind: " << entry.path();
}

// An older trusted build in place, its modes changed afterwards: group write (what a copy made
// by hand under umask 002 has) is still the vendor's app and is updated; world write is an item
// anyone could have changed, so it is left alone and reported in the way.
TEST(RealToolsRun, AnOlderCopyIsUpdatedWithGroupWriteButNotWithWorldWrite) {
    const struct {
        const char* name;
        fs::perms added;
        bool updated;
    } cases[] = {
        {"group-writable", fs::perms::group_write, true},
        {"world-writable folder", fs::perms::others_write, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunRig rig({.realTools = true});
        ProductKitOptions olderOptions;
        olderOptions.version = "2.3.0";
        olderOptions.build = "2300.1";
        olderOptions.fillerBytes = 0;
        olderOptions.prefixBytes = std::nullopt; // never published
        const ProductKit older = makeProductKit(rig.root / "older", rig.server.url("/older"),
                                                QUORVANE_FIXTURE_APP, olderOptions);
        fs::create_directories(rig.applications);
        fs::copy(older.app, rig.installedApp(),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        const auto add = [&](const fs::path& item) {
            fs::permissions(item, c.added, fs::perm_options::add | fs::perm_options::nofollow);
        };
        add(rig.installedApp());
        for (const auto& item : fs::recursive_directory_iterator(rig.installedApp()))
            if (c.added == fs::perms::group_write ? !item.is_symlink() : item.is_directory())
                add(item.path());

        rig.startAndSettle();
        const std::string plist = readFile(rig.installedApp() / "Contents" / "Info.plist");
        if (c.updated) {
            EXPECT_EQ(rig.phases, firstInstallation);
            EXPECT_NE(plist.find("<string>2410.1</string>"), std::string::npos) << plist;
            EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
        } else {
            EXPECT_EQ(rig.phases.back(), failed(BootstrapFailure::appConflict));
            EXPECT_NE(plist.find("<string>2300.1</string>"), std::string::npos) << plist;
        }
    }
}
