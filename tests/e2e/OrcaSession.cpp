#include "OrcaSession.h"

#include <cmath>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "Daemon.h"
#include "Process.h"
#include "XServer.h"

namespace quorvane::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* orcaProgram = "/usr/bin/orca";

// Runs a program against the display (and, when given, the private session bus); its output.
std::string query(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& environment) {
    std::vector<std::string> command = {"/usr/bin/env"};
    for (const auto& [name, value] : environment)
        command.push_back(name + "=" + value);
    command.insert(command.end(), argv.begin(), argv.end());
    std::string output;
    return runCommand(command, &output) == 0 ? output : std::string();
}

std::uintmax_t sizeOf(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? 0 : size;
}

// The end of a log, for a failure's message.
std::string tailOf(const fs::path& file) {
    return tailOfFile(file, 3 << 10);
}

std::string commandName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

} // namespace

std::string orcaUnavailable() {
    for (const char* needed : {orcaProgram, "/usr/bin/speech-dispatcher",
                               "/usr/lib/speech-dispatcher-modules/sd_espeak-ng",
                               "/usr/bin/openbox", "/usr/bin/xprop", "/usr/bin/gdbus"})
        if (!fs::exists(needed))
            return std::string(needed) + " is not installed (scripts/setup installs it)";
    return atspiUnavailable();
}

std::vector<Utterance> utterancesOf(const std::string& log, double reference) {
    // "HH:MM:SS.ffffff - SPEECH OUTPUT: 'text'" and then the voice, which begins with a space
    // or a brace.
    static const std::string marker = " - SPEECH OUTPUT: '";
    const double midnight = std::floor(reference / 86400) * 86400;
    std::vector<Utterance> found;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(marker);
        if (at != 15)
            continue;
        const std::string rest = line.substr(at + marker.size());
        std::size_t end = std::string::npos;
        for (const char* tail : {"'{", "' {", "' voice="})
            end = std::min(end, rest.find(tail));
        if (end == std::string::npos)
            continue;
        const double ofDay = std::stod(line.substr(0, 2)) * 3600 +
                             std::stod(line.substr(3, 2)) * 60 + std::stod(line.substr(6, 9));
        double time = midnight + ofDay;
        if (time > reference + 43200)
            time -= 86400;
        found.push_back({time, rest.substr(0, end)});
    }
    return found;
}

OrcaSession::OrcaSession(const std::string& display) : atspi_(display), display_(display) {
    for (const char* folder : {"home", "tmp", "config/speech-dispatcher", "cache", "scratch",
                               "speech-log", "runtime/speech-dispatcher"})
        fs::create_directories(dir_ / folder);
    fs::permissions(dir_ / "runtime", fs::perms::owner_all);
    // espeak-ng speaks into ALSA's null device: the test machine has no sound card, and the
    // session's sound server is not the test's to use.
    writeFile(dir_ / "config" / "speech-dispatcher" / "speechd.conf",
              "LogLevel 4\n"
              "LogDir \"" +
                  (dir_ / "speech-log").string() +
                  "\"\n"
                  "AudioOutputMethod \"alsa\"\n"
                  "AudioALSADevice \"null\"\n"
                  "DefaultModule espeak-ng\n"
                  "AddModule \"espeak-ng\" \"sd_espeak-ng\" \"espeak-ng.conf\"\n");
}

OrcaSession::~OrcaSession() {
    orca_.reset();
    speechServer_.reset();
    windowManager_.reset();
}

fs::path OrcaSession::speechLog() const {
    return dir_ / "speech-log" / "speech-dispatcher.log";
}

std::string OrcaSession::start() {
    auto environment = atspi_.clientEnvironment();
    environment["XDG_CONFIG_HOME"] = (dir_ / "config").string();
    environment["XDG_CACHE_HOME"] = (dir_ / "cache").string();
    environment["HOME"] = (dir_ / "home").string();
    environment["XDG_RUNTIME_DIR"] = (dir_ / "runtime").string();
    windowManager_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{launcher().string(), "--", "/usr/bin/openbox", "--sm-disable"},
        environment, dir_ / "openbox.log");
    const auto managed = [&] {
        return query({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, {{"DISPLAY", display_}})
                   .find("window id") != std::string::npos;
    };
    for (const auto deadline = std::chrono::steady_clock::now() + 30s; !managed();) {
        if (std::chrono::steady_clock::now() > deadline || !windowManager_->running())
            return "the window manager did not come up:\n" + tailOf(dir_ / "openbox.log");
        std::this_thread::sleep_for(20ms);
    }

    // The speech server Orca would start on its own, started here in the foreground at the
    // socket Orca looks for first (Orca's own start of it can outlast Orca's patience).
    speechServer_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{
            launcher().string(), "--", "/usr/bin/speech-dispatcher", "--run-single", "--timeout",
            "0", "--communication-method", "unix_socket", "--socket-path",
            (dir_ / "runtime" / "speech-dispatcher" / "speechd.sock").string()},
        environment, dir_ / "speech-dispatcher.out");
    // Orca gives up speaking for good when its first connection is refused.
    if (!waitForSocket(dir_ / "runtime" / "speech-dispatcher" / "speechd.sock", 30s))
        return "the speech server did not come up:\n" + tailOf(dir_ / "speech-dispatcher.out");

    // Orca in its own namespaces: its home folder is a fresh one bound over the user's, and it
    // sees no other copy of itself.
    RunOptions options;
    options.environment = environment;
    options.environment.erase("HOME");
    options.environment["LANG"] = "C.UTF-8";
    options.environment["LANGUAGE"] = "";
    options.environment["LC_ALL"] = "";
    options.environment["TZ"] = "UTC";
    options.environment["PULSE_SERVER"] = "unix:" + (dir_ / "no-sound-server").string();
    // No braille display: looking for one on the way out would hold its shutdown up.
    options.args = {"-u",           (dir_ / "preferences").string(),
                    "--debug-file", debugLog().string(),
                    "--disable",    "braille"};
    orca_ =
        std::make_unique<InstallerRun>(orcaProgram, dir_ / "home", dir_ / "tmp", dir_ / "scratch",
                                       QPoint(), windows_, fs::path(), options);
    for (const auto deadline = std::chrono::steady_clock::now() + 60s; !listening();) {
        if (std::chrono::steady_clock::now() > deadline || !orca_->running())
            return "Orca did not come up (" + std::string(registered() ? "" : "no ") +
                   "listeners registered)\n--- its output:\n" + tailOf(orca_->log()) +
                   "\n--- its debug log:\n" + tailOf(debugLog()) + "\n--- the speech server's:\n" +
                   tailOf(dir_ / "speech-dispatcher.out") + "\n" + tailOf(speechLog());
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

bool OrcaSession::registered() {
    // The AT-SPI registry knows Orca's event listeners once it is ready (the keyboard's come
    // right after them); the reader client listens to no window activation.
    const auto environment = atspi_.clientEnvironment();
    const std::string address =
        query({"gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
               "/org/a11y/bus", "--method", "org.a11y.Bus.GetAddress"},
              environment);
    const auto open = address.find('\''), close = address.rfind('\'');
    if (open == std::string::npos || close <= open)
        return false;
    const std::string events =
        query({"gdbus", "call", "--address", address.substr(open + 1, close - open - 1), "--dest",
               "org.a11y.atspi.Registry", "--object-path", "/org/a11y/atspi/registry", "--method",
               "org.a11y.atspi.Registry.GetRegisteredEvents"},
              environment);
    return events.find("'Window:Activate:'") != std::string::npos;
}

bool OrcaSession::listening() {
    // Its greeting is spoken once it also listens to the keyboard.
    return registered() && sizeOf(speechLog()) > 0 &&
           readFile(speechLog()).find("Module speak!") != std::string::npos;
}

bool OrcaSession::key(const std::string& keysym) {
    return runCommand({"/usr/bin/env", "DISPLAY=" + display_, "xdotool", "key", keysym}) == 0;
}

bool OrcaSession::awaitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto sizes = std::pair(sizeOf(debugLog()), sizeOf(speechLog()));
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - since < quiet) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(100ms);
        const auto now = std::pair(sizeOf(debugLog()), sizeOf(speechLog()));
        if (now != sizes) {
            sizes = now;
            since = std::chrono::steady_clock::now();
        }
    }
    return true;
}

bool OrcaSession::whereAmI() {
    // The desktop layout's Where Am I.
    return key("KP_Enter");
}

std::vector<Utterance> OrcaSession::stop() {
    if (!orca_)
        return {};
    // The reader client first, while everything it reads is still there.
    atspi_.stopReader();
    // Its debug log is written out as it ends, which a user's request to stop it brings about.
    // It handles the request in its next callback: an idle Orca is given a key to handle.
    for (const pid_t pid : orca_->processes())
        if (commandName(pid) == "orca")
            ::kill(pid, SIGTERM);
    for (int nudge = 0; nudge < 20 && !orca_->exitStatus(1s); ++nudge)
        key("Shift_L");
    orca_.reset();
    const std::string log = readFile(debugLog());
    // What it says while shutting down is not the installer's.
    const auto end = log.find(" - ORCA: Shutting down");
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return utterancesOf(log.substr(0, end), now);
}

} // namespace quorvane::test
