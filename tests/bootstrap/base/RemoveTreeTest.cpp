// The one tree removal of the installer and its tools: any depth under a low descriptor limit,
// read-only folders, and links removed without ever being followed.

#include "base/FileIo.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quorvane;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr uid_t nobody = 65534;

// In a child: as "nobody" when the tests run as root, so that modes really stop it, it builds
// `levels` folders below `root` (with files, links to `outside`, a wide folder and read-only
// folders on the way), then removes the tree with at most 64 descriptors. Its exit status is 0
// when the removal reports success.
int buildAndRemoveInAChild(const fs::path& root, const fs::path& outside, int levels) {
    const pid_t pid = ::fork();
    if (pid != 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
        ::_exit(10);
    if (::mkdir(root.c_str(), 0700) != 0)
        ::_exit(11);
    int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < levels; ++level) {
        if (level % 500 == 0) {
            ::close(::openat(dir, "file", O_WRONLY | O_CREAT, 0644));
            ::symlinkat(outside.c_str(), dir, "to-outside");
            ::symlinkat((outside / "keep").c_str(), dir, "to-keep");
        }
        if (level == 1000) {
            // Wider than a batch of the removal's reading.
            for (int i = 0; i < 300; ++i) {
                const std::string name = "w" + std::to_string(i);
                ::mkdirat(dir, name.c_str(), 0700);
                const int wide = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
                ::close(::openat(wide, "f", O_WRONLY | O_CREAT, 0644));
                ::close(wide);
            }
        }
        if (::mkdirat(dir, "d", 0700) != 0)
            ::_exit(12);
        const int next = ::openat(dir, "d", O_RDONLY | O_DIRECTORY);
        if (next < 0)
            ::_exit(13);
        // Read-only folders on the way, and one nobody may even look into.
        if (level % 700 == 699)
            ::fchmod(dir, 0500);
        ::close(dir);
        dir = next;
    }
    ::fchmod(dir, 0);
    ::close(dir);
    const rlimit low{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0)
        ::_exit(14);
    ::_exit(removeTree(root) ? 0 : 1);
}

} // namespace

TEST(RemoveTree, RemovesAThousandsDeepTreeWithSixtyFourDescriptorsAndFollowsNoLink) {
    TempDir tmp;
    const fs::path outside = tmp / "outside";
    fs::create_directory(outside);
    writeFile(outside / "keep", "mine");
    ::chmod(outside.c_str(), 0555); // a removal that followed the link would make it writable
    if (::geteuid() == 0) {
        for (const fs::path& p : {tmp.path(), outside, outside / "keep"})
            ASSERT_EQ(::chown(p.c_str(), nobody, nobody), 0) << p;
    }

    EXPECT_EQ(buildAndRemoveInAChild(tmp / "tree", outside, 3000), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "tree")));
    EXPECT_EQ(readFile(outside / "keep"), "mine");
    EXPECT_EQ(fs::status(outside).permissions(), static_cast<fs::perms>(0555));
}

TEST(RemoveTree, ALinkOrFileAtThePathIsRemovedItself) {
    TempDir tmp;
    fs::create_directory(tmp / "target");
    writeFile(tmp / "target/keep", "mine");
    fs::create_directory_symlink(tmp / "target", tmp / "link");
    writeFile(tmp / "file", "x");

    EXPECT_TRUE(removeTree(tmp / "link"));
    EXPECT_TRUE(removeTree(tmp / "file"));
    EXPECT_TRUE(removeTree(tmp / "missing")) << "nothing there is nothing left";
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "link")));
    EXPECT_FALSE(fs::exists(tmp / "file"));
    EXPECT_EQ(readFile(tmp / "target/keep"), "mine");
}
