#include "staging/StagingFolders.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace quorvane;
using quorvane::test::TempDir;
using quorvane::test::writeFile;
namespace fs = std::filesystem;

TEST(StagingFolders, OnlyAbandonedStagingFoldersOfThisUserAreRemoved) {
    TempDir temporary;
    TempDir elsewhere;
    const std::string uuid = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
    const fs::path abandoned = temporary / ("quorvane-installer-" + uuid);
    const fs::path live = temporary / "quorvane-installer-11111111-2222-3333-4444-555555555555";
    const fs::path link = temporary / "quorvane-installer-AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";
    const fs::path plainFile =
        temporary / "quorvane-installer-FFFFFFFF-BBBB-CCCC-DDDD-EEEEEEEEEEEE";
    const fs::path lowerCase =
        temporary / "quorvane-installer-0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
    const fs::path otherName = temporary / "quorvane-installer-notes";
    for (const auto& dir : {abandoned, live, lowerCase, otherName})
        fs::create_directory(dir);
    writeFile(abandoned / "Download.bin", "partial");
    writeFile(elsewhere / "keep.txt", "keep");
    fs::create_directory_symlink(elsewhere.path(), link);
    writeFile(plainFile, "not a folder");

    const FileDescriptor held = lockStagingFolder(live);
    removeAbandonedStagingFolders(temporary.path());

    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(live)) << "its installer still holds the lock";
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists(elsewhere / "keep.txt")) << "a link's target is never touched";
    EXPECT_TRUE(fs::is_regular_file(plainFile));
    EXPECT_TRUE(fs::exists(lowerCase)) << "not a name this installer makes";
    EXPECT_TRUE(fs::exists(otherName));

    EXPECT_THROW(lockStagingFolder(live), std::system_error) << "one owner at a time";
    EXPECT_THROW(lockStagingFolder(link), std::system_error) << "never through a link";
}

// A sweep of a second installer that lands between a staging folder's creation and its lock
// must not take the live attempt's folder: the attempt ends up with a folder that exists, is
// locked and is owner-only, and later sweeps leave it alone.
TEST(StagingFolders, ASweepInTheGapBetweenCreationAndLockNeverTakesALiveFolder) {
    TempDir temporary;
    int sweeps = 0;
    std::vector<fs::path> tried;
    const auto sweepInTheGap = [&](const fs::path& folder) {
        tried.push_back(folder);
        if (sweeps++ < 2)
            removeAbandonedStagingFolders(temporary.path());
    };
    const mode_t umask = ::umask(0277);
    StagingFolder folder = createStagingFolder(temporary.path(), sweepInTheGap);
    ::umask(umask);

    EXPECT_EQ(tried.size(), 3u) << "two folders lost to the sweep, the third kept";
    EXPECT_EQ(folder.path, tried.back());
    ASSERT_TRUE(fs::is_directory(folder.path));
    EXPECT_EQ(fs::status(folder.path).permissions(), fs::perms::owner_all);
    EXPECT_THROW(lockStagingFolder(folder.path), std::system_error) << "it is held";
    removeAbandonedStagingFolders(temporary.path());
    EXPECT_TRUE(fs::is_directory(folder.path));
    EXPECT_EQ(std::distance(fs::directory_iterator(temporary.path()), fs::directory_iterator()), 1);
}

// The sweep keeps the first abandoned folder it is told to adopt, locked, and removes the rest;
// a live folder is neither asked about nor touched.
TEST(StagingFolders, TheSweepAdoptsOneAbandonedFolderUnderItsLock) {
    TempDir tmp;
    const auto name = [&](char c) {
        return tmp /
               (std::string(stagingFolderPrefix) + "0000000" + c + "-0000-4000-8000-000000000000");
    };
    for (const char c : {'1', '2', '3', '4'}) {
        std::filesystem::create_directory(name(c));
        writeFile(name(c) / "Download.bin.partial", std::string(1, c));
        // Opened to everyone while it lay abandoned.
        std::filesystem::permissions(name(c), std::filesystem::perms::all);
    }
    const FileDescriptor live = lockStagingFolder(name('4'));
    std::vector<std::string> asked;
    auto adopted = removeAbandonedStagingFolders(tmp.path(), [&](const std::filesystem::path& f) {
        asked.push_back(f.filename().string());
        return f == name('2') || f == name('3');
    });
    ASSERT_TRUE(adopted);
    const bool first = adopted->path == name('2') || adopted->path == name('3');
    EXPECT_TRUE(first) << adopted->path;
    EXPECT_TRUE(std::filesystem::exists(adopted->path / "Download.bin.partial"));
    EXPECT_THROW(lockStagingFolder(adopted->path), std::system_error) << "adopted unlocked";
    EXPECT_EQ(std::filesystem::status(adopted->path).permissions(),
              std::filesystem::perms::owner_all);
    EXPECT_FALSE(std::filesystem::exists(name('1')));
    EXPECT_EQ(std::filesystem::exists(name('2')) + std::filesystem::exists(name('3')), 1)
        << "only one folder is adopted";
    EXPECT_TRUE(std::filesystem::exists(name('4')));
    EXPECT_EQ(std::count(asked.begin(), asked.end(), name('4').filename().string()), 0);
}
