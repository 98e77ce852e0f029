#include "staging/DiskSpace.h"
#include "manifest/BootstrapFailure.h"

#include <gtest/gtest.h>

#include "SmallFileSystem.h"
#include "TempDir.h"

using quorvane::BootstrapFailure;

TEST(DiskSpace, RoomIsCheckedOnTheFolderFileSystem) {
    constexpr std::uint64_t MiB = 1 << 20;
    quorvane::test::TempDir dir;
    quorvane::test::SmallFileSystem small(dir / "small", MiB);
    if (!small.mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    EXPECT_NO_THROW(quorvane::requireRoom(small.path(), MiB / 2));
    try {
        quorvane::requireRoom(small.path(), 2 * MiB);
        FAIL() << "2 MiB fit on a 1 MiB file system";
    } catch (...) {
        EXPECT_EQ(BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download),
                  BootstrapFailure::insufficientSpace);
    }
}
