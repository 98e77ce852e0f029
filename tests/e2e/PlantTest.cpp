// What a process of the same user can plant in the home and temporary folders beforehand: the
// installer neither hangs on it nor writes through it, and installs.

#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "E2eTest.h"
#include "base/FileIo.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string installedNow = "2.4.1 (2410.1), valid";

// Runs the installer, expects it to install and open the app, and records the row.
void expectInstalls(E2eWorld& world, const std::string& fault) {
    SCOPED_TRACE(fault);
    auto run = world.launch();
    expectOpenedInstalledApp(*run, run->settle(world.reader()), world);
    run->stopNamespace();
    const auto installed = world.describeInstalled();
    const auto leftovers = world.leftovers();
    EXPECT_EQ(installed, installedNow);
    EXPECT_EQ(leftovers, std::vector<std::string>{});
    recordSurvival(fault, "(none: it installed)", installed, leftovers);
}

fs::path stagingFolderIn(const fs::path& tmp) {
    for (const auto& entry : fs::directory_iterator(tmp))
        if (entry.path().filename().string().starts_with("quorvane-installer-"))
            return entry.path();
    return {};
}

} // namespace

// Before its window appears the installer writes its first log line: a FIFO at the log's name
// or a lock on the log that is never released must not keep the window from appearing.
TEST_F(E2e, PlantsAtTheLogsNameNeitherHangNorStopTheInstaller) {
    E2eWorld world;
    const fs::path folder = world.home / ".local" / "state" / "quorvane-installer";
    const fs::path log = folder / "installer.log";
    fs::create_directories(folder);
    FileDescriptor holder;
    const struct {
        std::string fault;
        std::function<void()> plant;
    } cases[] = {
        {"a FIFO at the diagnostic log's path", [&] { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); }},
        {"another process holds the diagnostic log's lock and never lets go",
         [&] {
             holder = FileDescriptor(::open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
             ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
         }},
    };
    for (const auto& c : cases) {
        fs::remove_all(world.installedApp());
        fs::remove(log);
        c.plant();
        expectInstalls(world, c.fault);
    }
    EXPECT_EQ(fs::file_size(log), 0u) << "a line was written under another process's lock";
}

// A killed installer's partial download, replaced by a hard link to a file of the user's: the
// next run never resumes into it (the user's file would become the package) but fetches anew.
TEST_F(E2e, APartialDownloadHardLinkedToAnotherFileIsNeverWrittenThrough) {
    E2eWorld world;
    world.server.route("/tail", {.headers = {{"ETag", "\"e2e-3\""}},
                                 .bodyFile = world.kit.tail,
                                 .pieceBytes = 16 << 10,
                                 .pause = 50ms,
                                 .ranges = true});
    {
        auto run = world.launch();
        while (world.server.bytesServed() < (64u << 10) && run->running())
            std::this_thread::sleep_for(5ms);
        run->kill();
        run->stopNamespace();
    }
    const fs::path staging = stagingFolderIn(world.tmp);
    ASSERT_FALSE(staging.empty()) << "the kill left no staging folder";
    const fs::path partial = staging / "Download.bin.partial";
    ASSERT_TRUE(fs::exists(staging / "Download.bin.source")) << "nothing there to resume";
    const fs::path notes = world.home / "notes.txt";
    const std::string mine(32 << 10, 'n');
    writeFile(notes, mine);
    fs::remove(partial);
    fs::create_hard_link(notes, partial);

    world.server.route(
        "/tail", {.headers = {{"ETag", "\"e2e-3\""}}, .bodyFile = world.kit.tail, .ranges = true});
    expectInstalls(world, "a killed installer's partial download replaced by a hard link to "
                          "another file of the user's (left as it was)");
    EXPECT_TRUE(readFile(notes) == mine) << "the user's file was written to";
    EXPECT_EQ(world.server.lastHeader("/tail", "Range"), "");
}
