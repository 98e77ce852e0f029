// Writes one picture of the installer window per phase, for review by eye, and a few more: the
// darker muted ink asked for by a high-contrast desktop, and keyboard focus after Tab.
//   installer_screenshots OUTPUT_FOLDER
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QTest>

#include "BootstrapApp.h"
#include "BootstrapFailure.h"
#include "BootstrapWindow.h"
#include "UiFixture.h"

using namespace quorvane;

namespace {

struct Shot {
    const char* file;
    bool withManifest;
    std::function<void(BootstrapModel&)> setUp;
    double clock; // seconds since the reference date; places the busy segment
    bool highContrast = false;
    int tabs = 0; // Tab presses after the set-up: where keyboard focus is drawn
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    QApplication application(argc, argv);
    BootstrapApp::configure();
    const std::filesystem::path output = argv[1];
    std::filesystem::create_directories(output);

    const auto phase = [](InstallerPhase p) { return [p](BootstrapModel& m) { m.setPhase(p); }; };
    const std::vector<Shot> shots = {
        {"1-ready.png", true, phase(InstallerPhase::ready()), 0},
        {"2-downloading-42.png", true,
         [](BootstrapModel& m) {
             m.setPhase(InstallerPhase::downloading());
             m.setReceived(21'000'000); // 42% of the 50 MB tail
         },
         0},
        {"3-checking.png", true, phase(InstallerPhase::checking()), 0.3},
        {"4-verifying.png", true, phase(InstallerPhase::verifying()), 0.6},
        {"5-installing.png", true, phase(InstallerPhase::installing()), 0.9},
        {"6-failed-retry.png", true,
         phase(InstallerPhase::failed(BootstrapFailure::download.message())), 0},
        {"7-failed-no-retry.png", false, [](BootstrapModel&) {}, 0},
        {"8-downloading-high-contrast.png", true,
         [](BootstrapModel& m) {
             m.setPhase(InstallerPhase::downloading());
             m.setReceived(21'000'000);
         },
         0, true},
        {"9-failed-close-focused.png", true,
         phase(InstallerPhase::failed(BootstrapFailure::download.message())), 0, false, 1},
        {"10-failed-no-retry-status-focused.png", false, [](BootstrapModel&) {}, 0, false, 2},
    };

    int failures = 0;
    for (const Shot& shot : shots) {
        // A system too old for start(), so that showing the window changes nothing.
        test::ModelFixture fixture(
            shot.withManifest ? std::optional(test::sampleManifest()) : std::nullopt, 0);
        BootstrapWindow window(fixture.model);
        window.view().progressBar().setClock([t = shot.clock] { return t; });
        window.setHighContrast(shot.highContrast);
        window.show();
        window.activateWindow();
        QApplication::processEvents();
        shot.setUp(*fixture.model);
        QApplication::processEvents();
        for (int i = 0; i < shot.tabs; ++i)
            if (QWidget* focus = QApplication::focusWidget())
                QTest::keyClick(focus, Qt::Key_Tab);
        QApplication::processEvents();
        const QImage image = test::render(window);
        const auto file = output / shot.file;
        if (!image.save(QString::fromStdString(file.string()), "PNG")) {
            std::fprintf(stderr, "could not write %s\n", file.c_str());
            ++failures;
            continue;
        }
        std::printf("%s\n", file.c_str());
    }
    return failures == 0 ? 0 : 1;
}
