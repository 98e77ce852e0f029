#include "base/Rename.h"
#include "TempDir.h"
#include "base/FileIo.h"

#include <atomic>
#include <filesystem>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using quorvane::FileDescriptor;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

TEST(Rename, ASwapNeverLeavesThePathEmpty) {
    TempDir tmp;
    fs::create_directories(tmp / "work" / "new.app");
    fs::create_directories(tmp / "Quorvane Pro.app");
    const FileDescriptor dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir);

    std::atomic<bool> done{false};
    std::atomic<long> looks{0};
    std::atomic<long> missing{0};
    std::thread watcher([&, path = tmp / "Quorvane Pro.app"] {
        struct stat info {};
        while (!done) {
            if (::lstat(path.c_str(), &info) != 0)
                ++missing;
            ++looks;
        }
    });
    for (int i = 0; i < 20'000; ++i)
        quorvane::moveIntoPlace(dir.get(), "work/new.app", "Quorvane Pro.app", true);
    done = true;
    watcher.join();
    EXPECT_GT(looks, 0);
    EXPECT_EQ(missing, 0);
}

TEST(Rename, FailsWithThePosixErrorAndMovesNothing) {
    TempDir tmp;
    fs::create_directories(tmp / "work" / "new.app");
    writeFile(tmp / "work" / "new.app" / "marker", "new");
    const FileDescriptor dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto move = [&](bool swap) {
        try {
            quorvane::moveIntoPlace(dir.get(), "work/new.app", "App.app", swap);
            return std::error_code();
        } catch (const std::system_error& e) {
            return e.code();
        }
    };
    EXPECT_EQ(move(true), std::errc::no_such_file_or_directory); // nothing to swap with
    fs::create_directories(tmp / "App.app");
    EXPECT_EQ(move(false), std::errc::file_exists); // never replaces
    EXPECT_EQ(readFile(tmp / "work" / "new.app" / "marker"), "new");
    EXPECT_TRUE(fs::is_empty(tmp / "App.app"));
}
