#include "WaylandCompositor.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>

#include "XServer.h"

namespace quorvane::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* weston = "/usr/bin/weston";
constexpr const char* screenshooter = "/usr/bin/weston-screenshooter";
constexpr const char* headlessBackend =
    "/usr/lib/x86_64-linux-gnu/libweston-10/headless-backend.so";
constexpr const char* qtWaylandPlugin =
    "/usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so";

std::string tail(const fs::path& log) {
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

} // namespace

QRgb WaylandCompositor::background() {
    return qRgb(0, 0, 0);
}

WaylandCompositor::WaylandCompositor() : socket_("quorvane-e2e-" + std::to_string(::getpid())) {
    for (const char* needed : {weston, screenshooter, headlessBackend, qtWaylandPlugin})
        if (!fs::exists(needed)) {
            unavailable_ = std::string(needed) +
                           " is not installed (scripts/setup installs weston and qt6-wayland)";
            return;
        }
    // Clients refuse a runtime folder that others may enter.
    ::chmod(runtime_.path().c_str(), 0700);
    const fs::path config = runtime_ / "weston.ini";
    // A plain black desktop without panel or animations, so the window stands out as it is.
    std::ofstream(config) << "[core]\nidle-time=0\n"
                             "[shell]\nbackground-color=0xff000000\npanel-position=none\n"
                             "animation=none\nstartup-animation=none\nfocus-animation=none\n";
    const fs::path log = runtime_ / "weston.log";
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{launcher().string(), "--", weston, "--backend=headless-backend.so",
                                 "--use-pixman", "--debug", "--socket=" + socket_, "--width=1024",
                                 "--height=768", "--idle-time=0", "--config=" + config.string()},
        std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", runtime_.path().string()},
                                           {"WAYLAND_DISPLAY", ""},
                                           {"DISPLAY", ""}},
        log);
    // Up once its socket exists and a screenshot can be taken (the shell is then ready too).
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline && process_->running()) {
        if (fs::exists(runtime_ / socket_) && !screenshot().isNull())
            return;
        std::this_thread::sleep_for(50ms);
    }
    unavailable_ = "weston with the headless backend did not come up here; its log:\n" + tail(log);
}

WaylandCompositor::~WaylandCompositor() {
    if (!process_)
        return;
    process_->kill(SIGTERM);
    if (!process_->wait(5s))
        process_->kill(SIGKILL);
}

std::map<std::string, std::string> WaylandCompositor::clientEnvironment() const {
    return {{"XDG_RUNTIME_DIR", runtime_.path().string()},
            {"WAYLAND_DISPLAY", socket_},
            {"QT_QPA_PLATFORM", "wayland"},
            {"DISPLAY", ""}};
}

QImage WaylandCompositor::screenshot() const {
    // weston-screenshooter writes wayland-screenshot-<time>.png into its working folder.
    TempDir shots;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : clientEnvironment())
        environment.insert(QString::fromStdString(name), QString::fromStdString(value));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QString::fromStdString(shots.path().string()));
    process.start(screenshooter, {});
    if (!process.waitForFinished(10'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    for (const auto& entry : fs::directory_iterator(shots.path()))
        if (entry.path().extension() == ".png")
            return QImage(QString::fromStdString(entry.path().string()))
                .convertToFormat(QImage::Format_RGB32);
    return {};
}

} // namespace quorvane::test
