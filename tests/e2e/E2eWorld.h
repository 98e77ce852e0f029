#pragma once

// The real installer binary, run in a real window under Xvfb, in a private mount namespace
// whose home folder is a fresh temporary folder, downloading from an HTTPS server on loopback.

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

#include "ChildProcess.h"
#include "HttpsTestServer.h"
#include "ProductKit.h"
#include "TempDir.h"
#include "WindowReader.h"
#include "XServer.h"
#include "manifest/BootstrapManifest.h"

namespace quorvane::test {

// Why the end-to-end tests cannot run here, or empty when they can.
std::string e2eUnavailable();
// The suite's X server, started on first use and stopped when the test program ends.
const XServer& sharedXServer();

// How a run differs from a plain one.
struct RunAs {
    uid_t uid = 0; // an unprivileged user to run as, with the umask it starts with
    mode_t umask = 022;
};
struct RunOptions {
    std::optional<RunAs> user;
    std::string readOnly;                  // a path, as the namespace sees it, mounted read-only
    std::vector<std::string> args;         // the program's arguments
    std::filesystem::path codesignStandIn; // bound over the build's codesign in the namespace
    std::map<std::string, std::string> environment; // added to the installer's environment
    // The display the program is a client of; the shared X server's when empty.
    std::map<std::string, std::string> display;
    // The title its window is found by (translated when the installer speaks another language).
    std::string windowTitle = "Install Quorvane Pro";
};

// One installer process and the mount namespace it runs in.
class InstallerRun {
public:
    InstallerRun(const std::filesystem::path& executable, const std::filesystem::path& home,
                 const std::filesystem::path& tmp, const std::filesystem::path& scratch,
                 QPoint place, std::set<std::string>& claimedWindows,
                 const std::filesystem::path& alsoRunning = {}, const RunOptions& options = {});
    ~InstallerRun(); // kills the installer and everything else started in its namespace

    // The installer's exit status once it has ended (waiting at most `limit`).
    std::optional<int> exitStatus(std::chrono::milliseconds limit = {});
    bool running() { return !exitStatus(); }
    // Kills the installer, its tools and the apps it opened at once, like a power cut.
    void kill();
    // Waits until the installer's window is up; false if it never came.
    bool awaitWindow();

    struct Outcome {
        std::optional<int> exitStatus;       // it ended (0 after opening the app)
        std::optional<std::string> sentence; // or its window shows this failure
    };
    // Waits until the installer has ended or its window shows a failure sentence.
    Outcome settle(const WindowReader& reader);
    // Gives the window the input focus, as a window manager would; false without a window.
    bool focusWindow();
    // Waits until the installer has ended, without reading its window (any display).
    Outcome settleByExit();
    // Clicks in the window at a point of the window's own coordinates.
    void click(QPoint point);
    // Closes the window with its close control and waits for the program to end.
    std::optional<int> close(const WindowReader& reader);
    // Processes started in the installer's namespace (the installer, the apps it opened).
    std::vector<pid_t> processes() const;
    // The executables of those processes, as the namespace sees them.
    std::vector<std::string> executables() const;
    void stopNamespace();
    // Where the installer's standard output and error go.
    std::filesystem::path log() const { return scratch_ / "installer.log"; }
    // The capture in which settle() read a failure.
    std::filesystem::path failureCapture() const { return scratch_ / "failure.png"; }

private:
    std::string windowId();

    std::filesystem::path scratch_;
    std::filesystem::path nsFile_;
    std::string nsIdentity_;
    std::filesystem::path statusFile_;
    std::unique_ptr<ChildProcess> process_;
    std::set<std::string>& claimedWindows_;
    std::string window_;
    std::string windowTitle_;
    QPoint place_; // where its window is put, so that two windows never cover each other
};

class E2eWorld {
public:
    struct Options {
        bool prefix = true;
        std::string version = "2.4.1";
        std::string build = "2410.1";
        std::filesystem::path packageAuthority{}; // who signs the package; the build's own
        std::size_t fillerBytes = 1 << 20;        // makes the app, and so the download, larger
        std::map<std::string, std::string> environment{}; // added to the installer's
    };

    explicit E2eWorld(Options options);
    E2eWorld() : E2eWorld(Options{}) {}

    TempDir root;
    std::filesystem::path home, tmp, installerFolder;
    HttpsTestServer server;
    ProductKit kit;
    BootstrapManifest manifest;

    // When set, bound over the build's codesign in every installer's namespace.
    std::filesystem::path codesignStandIn;
    // When set, every installer of this world is a client of this display (a Wayland
    // compositor's environment, say) instead of the shared X server.
    std::map<std::string, std::string> display;

    std::filesystem::path applications() const { return home / "Applications"; }
    // The installer's diagnostic log in the world's home folder.
    std::filesystem::path diagnosticLog() const {
        return home / ".local" / "state" / "quorvane-installer" / "installer.log";
    }
    std::filesystem::path installedApp() const;
    // The path the installer's namespace sees for the installed app's executable.
    std::string installedExecutableInside() const;

    // Another signed build of the product (not published), for copies placed beforehand.
    ProductKit otherBuild(const std::string& version, const std::string& build);
    // Places a copy of `app` at the destination.
    void installCopy(const std::filesystem::path& app) const;
    // Publishes `package` in place of the kit's: resources and tail, the pinned cdhash kept.
    void republish(const std::string& package);

    std::unique_ptr<InstallerRun> launch(std::optional<std::filesystem::path> homeFolder = {},
                                         std::optional<std::filesystem::path> tmpFolder = {},
                                         const std::filesystem::path& alsoRunning = {},
                                         RunOptions options = {});
    // Another program in a namespace like the installer's (same home and temporary folders).
    std::unique_ptr<InstallerRun> launchProgram(const std::filesystem::path& program,
                                                const std::vector<std::string>& args);
    // The path a file of the home folder has inside an installer's namespace.
    std::string insideHome(const std::filesystem::path& relative) const;
    // Gives the home and temporary folders to `uid`, and lets it read the installer.
    void handTo(uid_t uid) const;
    const WindowReader& reader();

    // Staging folders in the temporary folder and work folders in Applications.
    std::vector<std::string> leftovers(std::optional<std::filesystem::path> tmpFolder = {},
                                       std::optional<std::filesystem::path> apps = {}) const;
    // Which copy stands at the destination: "none", "<version> (<build>), valid" or a
    // description of what is wrong with it.
    std::string describeInstalled(std::optional<std::filesystem::path> apps = {}) const;
    bool verifies(const std::filesystem::path& app, const std::string& cdhash) const;

private:
    std::optional<WindowReader> reader_;
    std::map<std::string, std::string> environment_;
    std::set<std::string> claimedWindows_;
    int runs_ = 0;
};

// Appends one row of the survival table (see scripts/survival-table) for the current test.
void recordSurvival(const std::string& fault, const std::string& sentence,
                    const std::string& installed, const std::vector<std::string>& leftovers);

std::string joined(const std::vector<std::string>& items);

} // namespace quorvane::test
