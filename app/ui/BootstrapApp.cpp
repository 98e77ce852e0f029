#include "BootstrapApp.h"

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "base/Diagnostics.h"
#include "log/LogFile.h"

#include <QApplication>
#include <QElapsedTimer>

#include "BackgroundPool.h"
#include "BootstrapWindow.h"
#include "HighContrast.h"
#include "InstallerColors.h"
#include "InstallerIcon.h"
#include "ReduceMotion.h"
#include "Translations.h"

namespace quorvane {
namespace {
constexpr qint64 windDownMilliseconds = 10'000;
} // namespace

void BootstrapApp::configure() {
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setPalette(installerPalette());
    QApplication::setWindowIcon(installerIcon());
    QApplication::setQuitOnLastWindowClosed(true);
}

void BootstrapApp::main(int argc, char** argv) {
    // For support: what happened and why, never shown in the window. Started from a terminal,
    // the same lines go to its standard error.
    diagnostics::setSink(std::make_shared<diagnostics::LogFile>(
        diagnostics::LogFile::defaultFolder(), ::isatty(STDERR_FILENO) == 1));
    // Only the program's name reaches Qt, so no option on the command line can change the
    // window (-style, -stylesheet, -reverse and the like).
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("quorvane-installer"));
    QApplication::setDesktopFileName(QStringLiteral("quorvane-installer"));
    // The user's language, before any text is looked up or laid out: Qt keeps the fallback faces
    // of a font for the process's life, and they depend on the language.
    l10n::activate(
        l10n::chooseLanguage(l10n::preferredLanguages(QProcessEnvironment::systemEnvironment()),
                             l10n::builtInTranslations()));
    configure();

    ReduceMotion reduceMotion;
    HighContrast highContrast;
    BootstrapWindow window;
    window.view().setReduceMotion(reduceMotion.isOn());
    QObject::connect(&reduceMotion, &ReduceMotion::changed, &window.view(),
                     &BootstrapView::setReduceMotion);
    window.setHighContrast(highContrast.isOn());
    QObject::connect(&highContrast, &HighContrast::changed, &window,
                     &BootstrapWindow::setHighContrast);
    window.show();
    QApplication::exec();

    // A run still under way (the window was closed mid-download, say) is cancelled and given a
    // moment to wind down here, while the event loop can still deliver its last steps, so that
    // no transfer thread or background work outlives the application object.
    const async::TaskHandle operation = window.view().model().operation();
    operation.cancel();
    QElapsedTimer waited;
    waited.start();
    while (!operation.isDone() && waited.elapsed() < windDownMilliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    // The pool's threads end here, while the application object stands: left idle, they would
    // be ended by the exit's static destructors, racing Qt's own teardown.
    if (!async::finishBackgroundWork(std::chrono::milliseconds(
            std::max<qint64>(0, windDownMilliseconds - waited.elapsed()))))
        diagnostics::record("exit: background work was still running");
    // The run is over: the process ends here instead of taking the window, Qt and the libraries
    // down one by one. That teardown does nothing a user needs (the log is written line by
    // line), and a fault in it would end a successful run with a crash.
    std::fflush(nullptr);
    std::_Exit(0);
}

} // namespace quorvane
