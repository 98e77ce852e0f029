#include "E2eWorld.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <quorvane/BuildConfig.h>

#include "Digest.h"
#include "Process.h"

namespace quorvane::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Generous limits against hangs only; nothing here measures speed.
constexpr auto windowLimit = 30s;
constexpr auto settleLimit = 120s;
constexpr auto closeLimit = 30s;

std::string readLink(const fs::path& link) {
    std::error_code ec;
    const auto target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.string();
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string plistString(const std::string& plist, const std::string& key) {
    // The bundles here carry XML property lists: <key>K</key> then <string>V</string>.
    const auto at = plist.find("<key>" + key + "</key>");
    const auto open = plist.find("<string>", at);
    const auto close = plist.find("</string>", open);
    if (at == std::string::npos || open == std::string::npos || close == std::string::npos)
        return {};
    return plist.substr(open + 8, close - open - 8);
}

// The installer under the test's sanitizer settings, minus leak checking at exit: the whole
// program leaks a few one-time allocations of libdbus and libcrypto there (its own leaks are
// checked in-process by the whole-run tests). Memory errors still end it.
std::map<std::string, std::string>
installerEnvironment(const std::map<std::string, std::string>& display) {
    std::map<std::string, std::string> environment =
        display.empty() ? std::map<std::string, std::string>{{"DISPLAY", sharedXServer().display()},
                                                             {"QT_QPA_PLATFORM", "xcb"}}
                        : display;
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
        environment["ASAN_OPTIONS"] = std::string(asan) + ":detect_leaks=0";
    return environment;
}

} // namespace

std::string e2eUnavailable() {
    if (::geteuid() != 0)
        return "the end-to-end tests need root (private mount namespaces and tmpfs mounts)";
    for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/xdotool", "/usr/bin/import"})
        if (!fs::exists(tool))
            return std::string(tool) + " is not installed (scripts/setup installs it)";
    return {};
}

const XServer& sharedXServer() {
    static const std::unique_ptr<XServer> server = std::make_unique<XServer>();
    return *server;
}

// --- InstallerRun -----------------------------------------------------------------------------

InstallerRun::InstallerRun(const fs::path& executable, const fs::path& home, const fs::path& tmp,
                           const fs::path& scratch, QPoint place,
                           std::set<std::string>& claimedWindows, const fs::path& alsoRunning,
                           const RunOptions& options)
    : scratch_(scratch), nsFile_(scratch / "namespace"), statusFile_(scratch / "status"),
      claimedWindows_(claimedWindows), windowTitle_(options.windowTitle), place_(place) {
    fs::create_directories(scratch);
    fs::remove(nsFile_);
    fs::remove(statusFile_);
    std::vector<std::string> argv = {launcher().string(), "--home",    home.string(),    "--tmp",
                                     tmp.string(),        "--ns-file", nsFile_.string(), "--status",
                                     statusFile_.string()};
    if (!alsoRunning.empty())
        argv.insert(argv.end(), {"--also", alsoRunning.string()});
    if (const auto& user = options.user) {
        char umask[8];
        std::snprintf(umask, sizeof umask, "%o", static_cast<unsigned>(user->umask));
        argv.insert(argv.end(), {"--user", std::to_string(user->uid), "--umask", umask});
    }
    if (!options.readOnly.empty())
        argv.insert(argv.end(), {"--read-only", options.readOnly});
    if (!options.codesignStandIn.empty())
        argv.insert(argv.end(), {"--bind-source", options.codesignStandIn.string(), "--bind-target",
                                 std::string(config::codesignPath)});
    argv.insert(argv.end(), {"--", executable.string()});
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    auto childEnvironment = installerEnvironment(options.display);
    for (const auto& [name, value] : options.environment)
        childEnvironment[name] = value;
    process_ = std::make_unique<ChildProcess>(argv, childEnvironment, scratch / "installer.log");
    const auto deadline = std::chrono::steady_clock::now() + windowLimit;
    while (nsIdentity_.empty() && std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        if (fs::exists(nsFile_, ec))
            nsIdentity_ = readFile(nsFile_);
        if (nsIdentity_.empty()) {
            if (!process_->running())
                break;
            std::this_thread::sleep_for(5ms);
        }
    }
}

InstallerRun::~InstallerRun() {
    stopNamespace();
    // A failed test shows what the installer itself printed; its folder is gone afterwards.
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "--- the installer printed (%s):\n%s\n---\n", log().c_str(),
                     tailOfFile(log(), 8 << 10).c_str());
}

std::optional<int> InstallerRun::exitStatus(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::error_code ec;
        if (fs::exists(statusFile_, ec))
            return std::stoi(readFile(statusFile_));
        if (std::chrono::steady_clock::now() >= deadline || !process_->running())
            return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

void InstallerRun::kill() {
    process_->kill(SIGKILL);
}

bool InstallerRun::awaitWindow() {
    const auto deadline = std::chrono::steady_clock::now() + windowLimit;
    while (windowId().empty())
        if (std::chrono::steady_clock::now() > deadline || !running())
            return false;
    return true;
}

std::string InstallerRun::windowId() {
    if (!window_.empty())
        return window_;
    // The window's process id is the namespace's own, so windows are told apart by which one
    // appeared first; a second installer is started once the first one's window is claimed.
    // Found by class, then told by title: xdotool matches names in the legacy WM_NAME, which
    // does not carry a title in other scripts.
    const std::string display = "DISPLAY=" + sharedXServer().display();
    std::string output;
    if (runCommand({"/usr/bin/env", display, "xdotool", "search", "--onlyvisible", "--classname",
                    "^quorvane-installer$"},
                   &output) != 0)
        return window_;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::string name;
        if (line.empty() || claimedWindows_.contains(line) ||
            runCommand({"/usr/bin/env", display, "xdotool", "getwindowname", line}, &name) != 0 ||
            trimmed(name) != windowTitle_)
            continue;
        claimedWindows_.insert(line);
        window_ = line;
        break;
    }
    if (!window_.empty())
        runCommand({"/usr/bin/env", "DISPLAY=" + sharedXServer().display(), "xdotool", "windowmove",
                    window_, std::to_string(place_.x()), std::to_string(place_.y())});
    return window_;
}

InstallerRun::Outcome InstallerRun::settle(const WindowReader& reader) {
    const auto deadline = std::chrono::steady_clock::now() + settleLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (const auto status = exitStatus())
            return {status, std::nullopt};
        const std::string id = windowId();
        if (!id.empty()) {
            const QImage capture = captureWindow(sharedXServer().display(), id, scratch_);
            if (auto sentence = reader.failureSentence(capture)) {
                capture.save(QString::fromStdString((scratch_ / "failure.png").string()));
                return {std::nullopt, std::move(sentence)};
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "the installer neither ended nor showed a failure; see " << scratch_;
    return {};
}

bool InstallerRun::focusWindow() {
    const std::string id = windowId();
    return !id.empty() && runCommand({"/usr/bin/env", "DISPLAY=" + sharedXServer().display(),
                                      "xdotool", "windowfocus", "--sync", id}) == 0;
}

InstallerRun::Outcome InstallerRun::settleByExit() {
    if (const auto status = exitStatus(settleLimit))
        return {status, std::nullopt};
    ADD_FAILURE() << "the installer did not end; see " << scratch_;
    return {};
}

void InstallerRun::click(QPoint point) {
    const std::string id = windowId();
    ASSERT_FALSE(id.empty()) << "no installer window";
    EXPECT_EQ(runCommand({"/usr/bin/env", "DISPLAY=" + sharedXServer().display(), "xdotool",
                          "mousemove", "--window", id, std::to_string(point.x()),
                          std::to_string(point.y()), "click", "1"}),
              0);
}

std::optional<int> InstallerRun::close(const WindowReader& reader) {
    click(reader.closePoint());
    return exitStatus(closeLimit);
}

std::vector<pid_t> InstallerRun::processes() const {
    std::vector<pid_t> found;
    if (nsIdentity_.empty())
        return found;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (readLink(it->path() / "ns" / "mnt") == nsIdentity_)
            found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return found;
}

std::vector<std::string> InstallerRun::executables() const {
    std::vector<std::string> found;
    for (const pid_t pid : processes())
        found.push_back(readLink(fs::path("/proc") / std::to_string(pid) / "exe"));
    return found;
}

void InstallerRun::stopNamespace() {
    // The X server hands a gone client's window ids out again.
    if (!window_.empty())
        claimedWindows_.erase(window_);
    process_->kill(SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (auto left = processes(); !left.empty(); left = processes()) {
        for (const pid_t pid : left)
            ::kill(pid, SIGKILL);
        if (std::chrono::steady_clock::now() > deadline)
            break;
        process_->wait(0ms); // reaps the installer itself
        std::this_thread::sleep_for(5ms);
    }
}

// --- E2eWorld ---------------------------------------------------------------------------------

E2eWorld::E2eWorld(Options options)
    : home(root / "home"), tmp(root / "tmp"), installerFolder(root / "installer"),
      environment_(std::move(options.environment)) {
    for (const auto& dir : {home, tmp, installerFolder / "Resources"})
        fs::create_directories(dir);
    ProductKitOptions kitOptions;
    kitOptions.version = options.version;
    kitOptions.build = options.build;
    kitOptions.prefixBytes = options.prefix ? std::optional<std::int64_t>(256 << 10) : std::nullopt;
    kitOptions.packageAuthority = options.packageAuthority;
    kitOptions.fillerBytes = options.fillerBytes;
    kit = makeProductKit(root / "kit", server.url("/tail"), QUORVANE_FIXTURE_APP, kitOptions);
    server.route("/tail", {.bodyFile = kit.tail});

    fs::copy_file(QUORVANE_INSTALLER, installerFolder / "quorvane-installer");
    for (const char* resource : {"Payload.json", "PackageBase.bin"})
        if (fs::exists(kit.resources / resource))
            fs::copy_file(kit.resources / resource, installerFolder / "Resources" / resource);
    manifest = BootstrapManifest::decode(readFile(kit.resources / "Payload.json"));
}

fs::path E2eWorld::installedApp() const {
    return applications() / std::string(config::bundleName);
}

std::string E2eWorld::installedExecutableInside() const {
    const passwd* user = ::getpwuid(::getuid());
    return (fs::path(user ? user->pw_dir : "/root") / "Applications" /
            std::string(config::bundleName) / "Contents" / "MacOS" / "Quorvane Pro")
        .string();
}

ProductKit E2eWorld::otherBuild(const std::string& version, const std::string& build) {
    ProductKitOptions options;
    options.version = version;
    options.build = build;
    options.prefixBytes.reset();
    options.fillerBytes = 64 << 10;
    return makeProductKit(root / ("kit-" + build), "https://127.0.0.1/unpublished",
                          QUORVANE_FIXTURE_APP, options);
}

void E2eWorld::installCopy(const fs::path& app) const {
    fs::create_directories(applications());
    fs::copy(app, installedApp(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

void E2eWorld::republish(const std::string& package) {
    const auto prefix = static_cast<std::size_t>(manifest.embeddedPackageBytes.value_or(0));
    manifest.payloadBytes = static_cast<std::int64_t>(package.size());
    manifest.payloadSHA256 = sha256Hex(package);
    writeFile(installerFolder / "Resources" / "Payload.json", manifest.encode());
    if (prefix > 0)
        writeFile(installerFolder / "Resources" / "PackageBase.bin", package.substr(0, prefix));
    const fs::path tail = root / "republished-tail.bin";
    writeFile(tail, package.substr(prefix));
    server.route("/tail", {.bodyFile = tail});
    reader_.reset();
}

std::unique_ptr<InstallerRun> E2eWorld::launch(std::optional<fs::path> homeFolder,
                                               std::optional<fs::path> tmpFolder,
                                               const fs::path& alsoRunning, RunOptions options) {
    reader();
    ++runs_;
    if (options.codesignStandIn.empty())
        options.codesignStandIn = codesignStandIn;
    if (options.environment.empty())
        options.environment = environment_;
    if (options.display.empty())
        options.display = display;
    return std::make_unique<InstallerRun>(
        installerFolder / "quorvane-installer", homeFolder.value_or(home), tmpFolder.value_or(tmp),
        root / ("run-" + std::to_string(runs_)), QPoint(runs_ % 2 * 520, 0), claimedWindows_,
        alsoRunning, options);
}

std::unique_ptr<InstallerRun> E2eWorld::launchProgram(const fs::path& program,
                                                      const std::vector<std::string>& args) {
    ++runs_;
    RunOptions options;
    options.args = args;
    return std::make_unique<InstallerRun>(program, home, tmp,
                                          root / ("run-" + std::to_string(runs_)), QPoint(0, 0),
                                          claimedWindows_, fs::path(), options);
}

std::string E2eWorld::insideHome(const fs::path& relative) const {
    const passwd* user = ::getpwuid(::getuid());
    return (fs::path(user ? user->pw_dir : "/root") / relative).string();
}

void E2eWorld::handTo(uid_t uid) const {
    fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    for (const fs::path& dir : {home, tmp}) {
        if (::chown(dir.c_str(), uid, uid) != 0)
            throw std::system_error(errno, std::generic_category(), "chown " + dir.string());
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            if (::lchown(entry.path().c_str(), uid, uid) != 0)
                throw std::system_error(errno, std::generic_category(), "chown");
    }
}

const WindowReader& E2eWorld::reader() {
    if (!reader_)
        reader_.emplace(installerFolder / "Resources");
    return *reader_;
}

std::vector<std::string> E2eWorld::leftovers(std::optional<fs::path> tmpFolder,
                                             std::optional<fs::path> apps) const {
    std::vector<std::string> found;
    const auto look = [&](const fs::path& dir, const std::string& prefix) {
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const auto name = it->path().filename().string();
            if (name.starts_with(prefix))
                found.push_back(name);
        }
    };
    look(tmpFolder.value_or(tmp), "quorvane-installer-");
    look(apps.value_or(applications()), ".quorvane-");
    return found;
}

bool E2eWorld::verifies(const fs::path& app, const std::string& cdhash) const {
    const std::string requirement =
        "-R=identifier \"" + std::string(config::productBundleIdentifier) +
        "\" and anchor apple generic and certificate leaf[subject.OU] = \"" +
        std::string(config::pinnedTeamIdentifier) +
        "\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists and cdhash H\"" + cdhash +
        "\"";
    return runCommand({builtTool("codesign").string(), "--verify", "--deep", "--strict",
                       requirement, app.string()}) == 0;
}

std::string E2eWorld::describeInstalled(std::optional<fs::path> apps) const {
    const fs::path app = apps.value_or(applications()) / std::string(config::bundleName);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(app, ec)))
        return "none";
    std::string cdhash;
    if (runCommand({builtTool("codesign").string(), "--cdhash", app.string()}, &cdhash) != 0)
        return "an unsigned item";
    const auto plist = readFile(app / "Contents" / "Info.plist");
    const std::string name = plistString(plist, "CFBundleShortVersionString") + " (" +
                             plistString(plist, "CFBundleVersion") + ")";
    return name + (verifies(app, trimmed(cdhash)) ? ", valid" : ", INVALID");
}

// --- results ----------------------------------------------------------------------------------

std::string joined(const std::vector<std::string>& items) {
    if (items.empty())
        return "none";
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

void recordSurvival(const std::string& fault, const std::string& sentence,
                    const std::string& installed, const std::vector<std::string>& leftovers) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path folder = fs::path(QUORVANE_BINARY_DIR) / "e2e-results";
    fs::create_directories(folder);
    nlohmann::ordered_json row = {
        {"test", std::string(test->test_suite_name()) + "." + test->name()},
        {"fault", fault},
        {"sentence", sentence},
        {"installed", installed},
        {"leftovers", joined(leftovers)}};
    std::string file = std::string(test->test_suite_name()) + "." + test->name() + ".json";
    std::replace(file.begin(), file.end(), '/', '-');
    // A test's first row replaces the rows of its earlier runs.
    static std::set<std::string> written;
    const auto mode = written.insert(file).second ? std::ios::trunc : std::ios::app;
    std::ofstream(folder / file, std::ios::out | mode) << row.dump() << "\n";
}

} // namespace quorvane::test
