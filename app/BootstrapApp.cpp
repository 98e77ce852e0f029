#include "BootstrapApp.h"

#include <QApplication>

#include "BootstrapWindow.h"
#include "InstallerColors.h"
#include "InstallerIcon.h"
#include "ReduceMotion.h"

namespace quorvane {

void BootstrapApp::configure() {
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setPalette(installerPalette());
    QApplication::setWindowIcon(installerIcon());
    QApplication::setQuitOnLastWindowClosed(true);
}

int BootstrapApp::main(int argc, char** argv) {
    // Only the program's name reaches Qt, so no option on the command line can change the
    // window (-style, -stylesheet, -reverse and the like).
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("quorvane-installer"));
    QApplication::setDesktopFileName(QStringLiteral("quorvane-installer"));
    configure();

    ReduceMotion reduceMotion;
    BootstrapWindow window;
    window.view().setReduceMotion(reduceMotion.isOn());
    QObject::connect(&reduceMotion, &ReduceMotion::changed, &window.view(),
                     &BootstrapView::setReduceMotion);
    window.show();
    QApplication::exec();
    return 0;
}

} // namespace quorvane
