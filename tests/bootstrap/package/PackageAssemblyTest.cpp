#include "base/Cancellation.h"
#include "base/FileIo.h"
#include "manifest/BootstrapFailure.h"
#include "package/BootstrapVerification.h"
#include "package/PackageJoin.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <random>
#include <stop_token>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <gtest/gtest.h>

#include "Noise.h"
#include "SmallFileSystem.h"
#include "TempDir.h"

using quorvane::BootstrapFailure;
using quorvane::BootstrapManifest;
using quorvane::CancellationError;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;
namespace BootstrapVerification = quorvane::BootstrapVerification;

using quorvane::test::noise;

namespace {

constexpr std::int64_t MiB = 1 << 20;

BootstrapManifest manifestFor(std::optional<std::int64_t> n, std::int64_t total) {
    BootstrapManifest m;
    m.version = "2.4.1";
    m.build = "2410.1";
    m.payloadURL = "https://downloads.example.com/pro.pkg";
    m.payloadBytes = total;
    m.embeddedPackageBytes = n;
    m.payloadSHA256 = std::string(64, 'a');
    return m;
}

struct Files {
    TempDir dir;
    std::filesystem::path prefix = dir / "PackageBase.bin";
    std::filesystem::path tail = dir / "Download.bin";
    std::filesystem::path at = dir / "Quorvane Pro.pkg";
    std::string prefixBytes, tailBytes;

    Files(std::size_t prefixLength, std::size_t tailLength)
        : prefixBytes(noise(prefixLength, 1)), tailBytes(noise(tailLength, 2)) {
        writeFile(prefix, prefixBytes);
        writeFile(tail, tailBytes);
    }
    void expectUntouched() const {
        EXPECT_EQ(readFile(prefix), prefixBytes);
        EXPECT_EQ(readFile(tail), tailBytes);
        EXPECT_FALSE(std::filesystem::exists(at));
    }
};

} // namespace

TEST(PackageAssembly, JoinsInPlaceOrRefusesWrongLengthsUntouched) {
    const struct {
        const char* name;
        std::int64_t n, d;
        int prefixDelta = 0, tailDelta = 0;
        std::optional<BootstrapFailure> failure = std::nullopt;
    } cases[] = {
        {"remainder not a multiple of 1 MiB", 3 * MiB + 17, 5 * MiB + 3},
        {"remainder a multiple of 1 MiB", 100, 2 * MiB},
        {"remainder much shorter than the prefix", 4 * MiB + 5, 7},
        {"no prefix: every chunk onto itself", 0, 2 * MiB + 9},
        {"remainder one byte short", 1000, MiB + 1, 0, -1, BootstrapFailure::size},
        {"remainder one byte long", 1000, MiB + 1, 0, +1, BootstrapFailure::size},
        {"prefix one byte short", 1000, MiB + 1, -1, 0, BootstrapFailure::size},
        {"prefix one byte long", 1000, MiB + 1, +1, 0, BootstrapFailure::size},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Files files(static_cast<std::size_t>(c.n + c.prefixDelta),
                    static_cast<std::size_t>(c.d + c.tailDelta));
        const auto run = [&] {
            BootstrapVerification::assemble(files.prefix, files.tail, files.at,
                                            manifestFor(c.n, c.n + c.d));
        };
        if (c.failure) {
            try {
                run();
                ADD_FAILURE() << "assembled";
            } catch (const BootstrapFailure& f) {
                EXPECT_EQ(f, *c.failure);
            }
            files.expectUntouched();
        } else {
            run();
            EXPECT_EQ(readFile(files.at), files.prefixBytes + files.tailBytes);
            EXPECT_FALSE(std::filesystem::exists(files.tail));
            EXPECT_EQ(readFile(files.prefix), files.prefixBytes);
        }
    }
}

TEST(PackageAssembly, WithoutEmbeddedBytesIsAConfigurationFault) {
    Files files(10, 20);
    try {
        BootstrapVerification::assemble(files.prefix, files.tail, files.at,
                                        manifestFor(std::nullopt, 30));
        FAIL() << "assembled";
    } catch (const BootstrapFailure& f) {
        EXPECT_EQ(f, BootstrapFailure::configuration);
    }
    files.expectUntouched();
}

TEST(PackageAssembly, ExistingItemAtTargetIsKeptAndTheAssembledTailStays) {
    Files files(MiB + 1, 2 * MiB + 3);
    writeFile(files.at, "someone else's");
    try {
        BootstrapVerification::assemble(files.prefix, files.tail, files.at,
                                        manifestFor(MiB + 1, 3 * MiB + 4));
        FAIL() << "replaced the existing item";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(EEXIST, std::generic_category()));
    }
    EXPECT_EQ(readFile(files.at), "someone else's");
    EXPECT_EQ(readFile(files.tail), files.prefixBytes + files.tailBytes);
}

TEST(PackageAssembly, CancelledBeforeTheFirstChunkLeavesNoPackage) {
    Files files(MiB, 3 * MiB);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(BootstrapVerification::assemble(files.prefix, files.tail, files.at,
                                                 manifestFor(MiB, 4 * MiB), stop.get_token()),
                 CancellationError);
    EXPECT_FALSE(std::filesystem::exists(files.at));
    EXPECT_EQ(std::filesystem::file_size(files.tail), 4u * MiB); // grown, not yet rearranged
}

// Stopped at the third chunk: the two top chunks have moved, everything below is as it was.
TEST(PackageAssembly, CancellationMidwayStopsAtAChunkBoundary) {
    const std::uint64_t n = 3 * MiB + 17, d = 5 * MiB + 3;
    Files files(n, d);
    const auto prefix = quorvane::openFile(files.prefix, O_RDONLY);
    const auto tail = quorvane::openFile(files.tail, O_RDWR);
    int chunks = 0;
    EXPECT_THROW(quorvane::joinInPlace(prefix.get(), tail.get(), n, d,
                                       [&] {
                                           if (++chunks == 3)
                                               throw CancellationError{};
                                       }),
                 CancellationError);
    const std::string after = readFile(files.tail);
    ASSERT_EQ(after.size(), n + d);
    EXPECT_EQ(after.substr(n + d - 2 * MiB), files.tailBytes.substr(d - 2 * MiB));
    EXPECT_EQ(after.substr(0, d - 2 * MiB), files.tailBytes.substr(0, d - 2 * MiB));
}

TEST(PackageAssembly, PlatformErrorsPassUpUnchanged) {
    {
        Files files(10, 20);
        std::filesystem::remove(files.prefix);
        try {
            BootstrapVerification::assemble(files.prefix, files.tail, files.at,
                                            manifestFor(10, 30));
            FAIL() << "assembled without a prefix";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code(), std::error_code(ENOENT, std::generic_category()));
        }
    }
    // Growing the tail runs out of space for real; the caller's classify makes it
    // insufficientSpace.
    TempDir dir;
    quorvane::test::SmallFileSystem small(dir / "small", 1 * MiB);
    if (!small.mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    writeFile(dir / "prefix", noise(600 * 1024, 1));
    writeFile(small.path() / "tail", noise(600 * 1024, 2));
    try {
        BootstrapVerification::assemble(dir / "prefix", small.path() / "tail", small.path() / "pkg",
                                        manifestFor(600 * 1024, 1200 * 1024));
        FAIL() << "assembled beyond the file system's size";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(ENOSPC, std::generic_category()));
        EXPECT_EQ(
            BootstrapFailure::classify(std::current_exception(), BootstrapFailure::installation),
            BootstrapFailure::insufficientSpace);
    }
}
