// Writes pictures of the installer window for review by eye: every phase in English, then a few
// more (the darker muted ink asked for by a high-contrast desktop, keyboard focus after Tab);
// and every phase in each built-in language and in the pseudo-language, one folder each.
//   installer_screenshots OUTPUT_FOLDER [LANGUAGE]
// With LANGUAGE (a built-in one's code, or "pseudo"), only that language's phases, into
// OUTPUT_FOLDER/LANGUAGE: one language per process, as Qt keeps the fallback faces it chose.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QTest>

#include "BootstrapApp.h"
#include "BootstrapWindow.h"
#include "Languages.h"
#include "UiFixture.h"
#include "manifest/BootstrapFailure.h"

using namespace quorvane;

namespace {

struct Shot {
    test::WindowState state;
    bool highContrast = false;
    int tabs = 0; // Tab presses after the set-up: where keyboard focus is drawn
};

// Renders `shots` into `folder`; the number of pictures that could not be written.
int renderShots(const std::vector<Shot>& shots, const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    int failures = 0;
    for (const Shot& shot : shots) {
        // A system too old for start(), so that showing the window changes nothing.
        test::ModelFixture fixture(shot.state.manifest, 0);
        BootstrapWindow window(fixture.model);
        window.view().progressBar().setClock([t = shot.state.clock] { return t; });
        window.setHighContrast(shot.highContrast);
        window.show();
        window.activateWindow();
        QApplication::processEvents();
        shot.state.setUp(*fixture.model);
        QApplication::processEvents();
        for (int i = 0; i < shot.tabs; ++i)
            if (QWidget* focus = QApplication::focusWidget())
                QTest::keyClick(focus, Qt::Key_Tab);
        QApplication::processEvents();
        const QImage image = test::render(window);
        const auto file = folder / (shot.state.name + ".png");
        if (!image.save(QString::fromStdString(file.string()), "PNG")) {
            std::fprintf(stderr, "could not write %s\n", file.c_str());
            ++failures;
            continue;
        }
        std::printf("%s\n", file.c_str());
    }
    return failures;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER [LANGUAGE]\n", argv[0]);
        return 2;
    }
    QApplication application(argc, argv);
    BootstrapApp::configure();
    const std::filesystem::path output = argv[1];

    std::vector<Shot> phases;
    for (const test::WindowState& state : test::everyPhase())
        phases.push_back({state});
    const auto failed = [](BootstrapModel& m) {
        m.setPhase(InstallerPhase::failed(BootstrapFailure::download.message()));
    };
    std::vector<Shot> english = phases;
    english.push_back(
        {{"10-downloading-high-contrast", test::sampleManifest(), phases[1].state.setUp}, true});
    english.push_back({{"11-failed-close-focused", test::sampleManifest(), failed}, false, 1});
    english.push_back(
        {{"12-failed-no-retry-status-focused", std::nullopt, [](BootstrapModel&) {}}, false, 2});

    if (argc == 2)
        return renderShots(english, output) == 0 ? 0 : 1;
    const QString code = QString::fromUtf8(argv[2]);
    test::PseudoLanguage pseudo;
    std::optional<test::LanguageScope> language;
    if (code == QLatin1String("pseudo")) {
        language.emplace(pseudo);
    } else if (l10n::builtInTranslations().contains(code)) {
        language.emplace(test::builtInLanguage(code));
    } else {
        std::fprintf(stderr, "no built-in language %s\n", argv[2]);
        return 2;
    }
    const int failures = renderShots(phases, output / code.toStdString());
    return failures == 0 ? 0 : 1;
}
