#include "AtspiSession.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "XServer.h"

namespace quorvane::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* python = "/usr/bin/python3";

// The private bus activates the AT-SPI bus launcher and nothing else: none of the desktop's own
// services (a portal, dconf, systemd's user manager) starts behind the test's back.
void writeBusConfiguration(const fs::path& folder) {
    fs::create_directories(folder / "services");
    writeFile(folder / "services" / "org.a11y.Bus.service",
              "[D-BUS Service]\nName=org.a11y.Bus\nExec=/usr/libexec/at-spi-bus-launcher\n");
    writeFile(folder / "bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n"
              "  <type>session</type>\n"
              "  <listen>unix:dir=" +
                  (folder / "bus").string() +
                  "</listen>\n"
                  "  <auth>EXTERNAL</auth>\n"
                  "  <servicedir>" +
                  (folder / "services").string() +
                  "</servicedir>\n"
                  "  <policy context=\"default\">\n"
                  "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                  "    <allow eavesdrop=\"true\"/>\n"
                  "    <allow own=\"*\"/>\n"
                  "  </policy>\n"
                  "</busconfig>\n");
}

fs::path readerScript() {
    return fs::path(QUORVANE_SOURCE_DIR) / "tests" / "e2e" / "atspi_reader.py";
}

// Reads one line from `fd` within `limit`; empty when none came.
std::string readLine(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms)
            return {};
        pollfd waiting{fd, POLLIN, 0};
        const int n = ::poll(&waiting, 1, int(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return {};
        line.append(buffer, size_t(got));
    }
    return line.substr(0, line.find('\n'));
}

} // namespace

std::string atspiUnavailable() {
    for (const char* needed : {"/usr/bin/dbus-daemon", "/usr/bin/unshare",
                               "/usr/libexec/at-spi-bus-launcher", "/usr/libexec/at-spi2-registryd",
                               "/usr/lib/python3/dist-packages/pyatspi/__init__.py", python})
        if (!fs::exists(needed))
            return std::string(needed) + " is not installed (scripts/setup installs it)";
    return {};
}

AtspiSession::AtspiSession(const std::string& display) : display_(display) {
    fs::create_directories(dir_ / "runtime");
    fs::create_directories(dir_ / "bus");
    fs::create_directories(dir_ / "commands");
    writeBusConfiguration(dir_.path());
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    // The services the bus starts on demand (the AT-SPI bus launcher, which starts the AT-SPI
    // bus, which starts the registry) live in the namespace and die with it. Their sockets go
    // to the private runtime folder, not to the home folder.
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{launcher().string(), "--", "/usr/bin/unshare", "--pid", "--fork",
                                 "--kill-child", "/usr/bin/dbus-daemon",
                                 "--config-file=" + (dir_ / "bus.conf").string(), "--nofork",
                                 "--print-address=3"},
        std::map<std::string, std::string>{{"DISPLAY", display_},
                                           {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
                                           {"DBUS_SYSTEM_BUS_ADDRESS", noSystemBus()},
                                           {"GSETTINGS_BACKEND", "memory"}},
        dir_ / "bus.log", ready[1]);
    ::close(ready[1]);
    address_ = readLine(ready[0], 20s);
    ::close(ready[0]);
    if (address_.empty())
        throw std::runtime_error("the session bus did not come up; see " +
                                 (dir_ / "bus.log").string());
}

AtspiSession::~AtspiSession() {
    stopReader();
}

std::string AtspiSession::noSystemBus() const {
    return "unix:path=" + (dir_ / "no-system-bus").string();
}

std::map<std::string, std::string> AtspiSession::installerEnvironment() const {
    return {{"DBUS_SESSION_BUS_ADDRESS", address_},
            {"DBUS_SYSTEM_BUS_ADDRESS", noSystemBus()},
            {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"},
            {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()}};
}

std::map<std::string, std::string> AtspiSession::clientEnvironment() const {
    return {{"DBUS_SESSION_BUS_ADDRESS", address_},
            {"DBUS_SYSTEM_BUS_ADDRESS", noSystemBus()},
            {"DISPLAY", display_},
            {"GSETTINGS_BACKEND", "memory"},
            {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()}};
}

bool AtspiSession::startReader() {
    reader_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{launcher().string(), "--", python, readerScript().string(),
                                 (dir_ / "heard.jsonl").string(), (dir_ / "commands").string()},
        clientEnvironment(), dir_ / "reader.log");
    return awaitRecord([](const nlohmann::json& r) { return r["kind"] == "listening"; }, 30s);
}

std::vector<nlohmann::json> AtspiSession::records() const {
    std::vector<nlohmann::json> found;
    std::ifstream in(dir_ / "heard.jsonl");
    for (std::string line; std::getline(in, line);) {
        // The last line may still be half written.
        auto record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_discarded())
            found.push_back(std::move(record));
    }
    return found;
}

bool AtspiSession::awaitRecord(const std::function<bool(const nlohmann::json&)>& match,
                               std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        for (const auto& record : records())
            if (match(record))
                return true;
        if (reader_ && !reader_->running())
            return false;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool AtspiSession::pressRetry() {
    std::ofstream(dir_ / "commands" / "press-retry").put('\n');
    return awaitRecord([](const nlohmann::json& r) { return r["kind"] == "pressed" && r["ok"]; },
                       60s);
}

bool AtspiSession::drain() {
    const int round = ++drains_;
    std::ofstream(dir_ / "commands" / ("drain-" + std::to_string(round))).put('\n');
    return awaitRecord(
        [&](const nlohmann::json& r) { return r["kind"] == "drained" && r["round"] == round; },
        60s);
}

void AtspiSession::stopReader() {
    if (!reader_)
        return;
    // Whatever the application sent before it ended is in the record.
    drain();
    reader_->kill(SIGTERM);
    if (!reader_->wait(5s))
        reader_->kill(SIGKILL);
    reader_.reset();
}

} // namespace quorvane::test
