// Measures the installer window on the platform it is started on (xcb under Xvfb for figures
// that mean something):
//   bench_window first-frame
//       time from process start, and from main(), to the view's first painted frame; quits then
//   bench_window idle PHASE [reduce-motion] [SECONDS]
//       CPU used by the window while it sits in PHASE (ready, checking, failed), and the bar's
//       frames per second
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include "BootstrapApp.h"
#include "BootstrapWindow.h"

using namespace quorvane;

namespace {

// Seconds since boot at which this process started, from /proc/self/stat.
double processStartSinceBoot() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    return std::stod(field) / double(sysconf(_SC_CLK_TCK));
}

double nowSinceBoot() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct PaintCounter : QObject {
    int paints = 0;
    std::function<void()> onFirst;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && ++paints == 1 && onFirst)
            onFirst();
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    const auto mainEntered = std::chrono::steady_clock::now();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "first-frame" && mode != "idle") {
        std::fprintf(stderr, "usage: %s first-frame | idle PHASE [reduce-motion] [SECONDS]\n",
                     argv[0]);
        return 2;
    }
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    BootstrapApp::configure();
    BootstrapWindow window;
    PaintCounter viewPaints, barPaints;
    window.view().installEventFilter(&viewPaints);
    window.view().progressBar().installEventFilter(&barPaints);

    if (mode == "first-frame") {
        viewPaints.onFirst = [&] {
            const double sinceStart = nowSinceBoot() - processStartSinceBoot();
            const double sinceMain =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - mainEntered)
                    .count();
            std::printf("first frame: %.1f ms after process start (10 ms clock), %.1f ms after "
                        "main()\n",
                        sinceStart * 1000, sinceMain * 1000);
            QTimer::singleShot(0, &application, &QCoreApplication::quit);
        };
        window.show();
        return QApplication::exec();
    }

    const std::string phase = argc > 2 ? argv[2] : "checking";
    const bool reduceMotion = argc > 3 && std::string(argv[3]) == "reduce-motion";
    const double seconds = argc > 4 ? std::atof(argv[4]) : 10;
    window.view().setReduceMotion(reduceMotion);
    window.show();
    QApplication::processEvents();
    BootstrapModel& model = window.view().model();
    if (phase == "checking")
        model.setPhase(InstallerPhase::checking());
    else if (phase == "ready")
        model.setPhase(InstallerPhase::ready());
    else
        model.setPhase(InstallerPhase::failed("Measuring."));
    // Settle first: the first frames and the icon's shadow are not idle work.
    QTimer::singleShot(1000, [&] {
        const double cpu0 = cpuSeconds();
        const int frames0 = barPaints.paints;
        const auto wall0 = std::chrono::steady_clock::now();
        QTimer::singleShot(int(seconds * 1000), [&, cpu0, frames0, wall0] {
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
            std::printf("%s%s: CPU %.2f%% of one core, bar %.1f frames/s over %.1f s\n",
                        phase.c_str(), reduceMotion ? " with reduce motion" : "",
                        100 * (cpuSeconds() - cpu0) / wall, (barPaints.paints - frames0) / wall,
                        wall);
            QCoreApplication::quit();
        });
    });
    return QApplication::exec();
}
