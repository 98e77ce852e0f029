// A platform tool that never ends must not keep the installer alive once its window is closed.

#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include "E2eTest.h"
#include "Process.h"
#include "base/FileIo.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The home folder the installer finds through the user database.
std::string userHome() {
    const passwd* user = ::getpwuid(::getuid());
    return user && user->pw_dir ? user->pw_dir : "/root";
}

struct StuckCase {
    const char* name;
    bool polite;        // leaves on SIGTERM; otherwise only SIGKILL ends it
    bool whileChecking; // stuck on the first look at the installed copy, not under the lock
};

// Stands in for codesign: answers as the real tool does, except when asked about the installed
// copy (while checking it first, or once the installer holds the folder lock, as the case
// says). Then it records itself and never ends.
void writeStandIn(const fs::path& script, const fs::path& realTool, const StuckCase& c) {
    std::string text = R"SH(#!/bin/sh
for last; do :; done
[ "$(dirname "$last")" = "$APPLICATIONS" ] || exec "$REAL" "$@"
if ! $WHILE_CHECKING && flock -n "$APPLICATIONS" true; then
  exec "$REAL" "$@"
fi
trap 'echo term >> "$HERE/term"; $POLITE && exit 0' TERM
echo stuck > "$HERE/stuck"
while :; do sleep 0.05; done
)SH";
    const auto set = [&](const std::string& name, const std::string& value) {
        text.insert(text.find('\n') + 1, name + "='" + value + "'\n");
    };
    set("REAL", realTool.string());
    set("HERE", script.parent_path().string());
    set("POLITE", c.polite ? "true" : "false");
    set("WHILE_CHECKING", c.whileChecking ? "true" : "false");
    // The installer's namespace sees the test's home folder at the user's own.
    set("APPLICATIONS", (fs::path(userHome()) / "Applications").string());
    writeFile(script, text);
    fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

bool lockIsFree(const fs::path& folder) {
    const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
}

} // namespace

TEST_F(E2e, ClosingTheWindowEndsAToolThatNeverEnds) {
    const StuckCase cases[] = {
        {"ignores SIGTERM, while checking the installed copy", false, true},
        {"leaves on SIGTERM, under the folder lock", true, false},
        {"ignores SIGTERM, under the folder lock", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        E2eWorld world;
        // An older trusted build in place: the installer checks it, downloads, takes the folder
        // lock and asks the signing tool about the copy it is about to replace.
        world.installCopy(world.otherBuild("2.3.0", "2300.1").app);
        const std::string before = world.describeInstalled();
        ASSERT_EQ(before, "2.3.0 (2300.1), valid");

        const fs::path tools = world.root / "stand-in";
        fs::create_directories(tools);
        fs::copy_file(builtTool("codesign"), tools / "codesign-real");
        writeStandIn(tools / "codesign", tools / "codesign-real", c);
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
        for (const std::string& exe : run->executables()) {
            if (!exe.empty()) {
                EXPECT_EQ(fs::path(exe).filename(), "in_home") << "still running: " << exe;
            }
        }
        EXPECT_TRUE(lockIsFree(world.applications()));
        run->stopNamespace();
        EXPECT_EQ(world.describeInstalled(), before);
        // Only the Applications folder: a verified package may stay staged for the next run.
        const auto left = world.leftovers(world.root / "no-such-folder");
        EXPECT_EQ(left, std::vector<std::string>{});
        if (!c.polite && !c.whileChecking)
            recordSurvival("codesign never ends (and ignores SIGTERM), then the window is closed",
                           status ? "(window closed: the installer ended)"
                                  : "(window closed: the installer did not end)",
                           world.describeInstalled(), left);
    }
}
