// A platform tool that never ends must not keep the installer alive once its window is closed.

#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "E2eTest.h"
#include "FileIo.h"
#include "Process.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Stands in for codesign: answers as the real tool does, except when asked about an app in a
// folder someone holds locked (the installer, checking the destination under its lock). Then
// it records itself and never ends; `polite` makes it leave on SIGTERM, otherwise only SIGKILL
// ends it.
void writeStandIn(const fs::path& script, const fs::path& realTool, bool polite) {
    const std::string here = script.parent_path().string();
    writeFile(script, "#!/bin/sh\n"
                      "for last; do :; done\n"
                      "if flock -n \"$(dirname \"$last\")\" true; then\n"
                      "  exec '" +
                          realTool.string() +
                          "' \"$@\"\n"
                          "fi\n"
                          "trap 'echo term >> \"" +
                          here + "/term\"" + (polite ? "; exit 0" : "") +
                          "' TERM\n"
                          "echo stuck > '" +
                          here +
                          "/stuck'\n"
                          "while :; do sleep 0.05; done\n");
    fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

bool lockIsFree(const fs::path& folder) {
    const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

} // namespace

TEST_F(E2e, ClosingTheWindowEndsAToolThatNeverEnds) {
    for (const bool polite : {true, false}) {
        SCOPED_TRACE(polite ? "tool leaves on SIGTERM" : "tool ignores SIGTERM");
        E2eWorld world;
        // An older trusted build in place: the installer downloads, takes the folder lock and
        // asks the signing tool about the copy it is about to replace.
        world.installCopy(world.otherBuild("2.3.0", "2300.1").app);
        const std::string before = world.describeInstalled();
        ASSERT_EQ(before, "2.3.0 (2300.1), valid");

        const fs::path tools = world.root / "stand-in";
        fs::create_directories(tools);
        fs::copy_file(builtTool("codesign"), tools / "codesign-real");
        writeStandIn(tools / "codesign", tools / "codesign-real", polite);
        world.codesignStandIn = tools / "codesign";

        auto run = world.launch();
        ASSERT_TRUE(run->awaitWindow());
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (!fs::exists(tools / "stuck") && run->running() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(fs::exists(tools / "stuck")) << "the installer never got to the stuck tool";

        // Generous: closing waits for the tool's grace time, nothing more is promised.
        const std::optional<int> status = run->close(world.reader());
        EXPECT_TRUE(status) << "the installer outlived its window";
        EXPECT_TRUE(fs::exists(tools / "term")) << "the tool was never asked to end";
        // Left in the namespace: its own init only (a zombie awaiting it has no executable).
        for (const std::string& exe : run->executables())
            if (!exe.empty())
                EXPECT_EQ(fs::path(exe).filename(), "in_home") << "still running: " << exe;
        EXPECT_TRUE(lockIsFree(world.applications()));
        run->stopNamespace();
        EXPECT_EQ(world.describeInstalled(), before);
        // Only the Applications folder: a verified package may stay staged for the next run.
        const auto left = world.leftovers(world.root / "no-such-folder");
        EXPECT_EQ(left, std::vector<std::string>{});
        if (!polite)
            recordSurvival("codesign never ends (and ignores SIGTERM), then the window is closed",
                           status ? "(window closed: the installer ended)"
                                  : "(window closed: the installer did not end)",
                           world.describeInstalled(), left);
    }
}
