// The real installer in a real X server: started with a broken manifest, its window as the
// server shows it must match the offscreen rendering of the same state.
#include <cstdlib>
#include <filesystem>

#include <QApplication>
#include <QImage>
#include <QProcess>

#include <gtest/gtest.h>

#include "BootstrapWindow.h"
#include "EventLoopSpin.h"
#include "ImageDifference.h"
#include "InstallerColors.h"
#include "UiFixture.h"
#include "manifest/BootstrapFailure.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

// Xvfb on a display of its own choosing, gone with the object.
class VirtualDisplay {
public:
    VirtualDisplay() {
        server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                              "-noreset"});
        if (server.waitForReadyRead(20'000))
            name = ":" + QString::fromUtf8(server.readLine()).trimmed();
    }
    ~VirtualDisplay() {
        server.terminate();
        server.waitForFinished();
    }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        // No session bus: no portal, so reduce motion is off, as offscreen.
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        env.insert("LSAN_OPTIONS",
                   "suppressions=" QUORVANE_SOURCE_DIR "/tests/ui/system-leaks.supp");
        return env;
    }
    // Runs a client of this display; its standard output, or nothing when it failed.
    std::optional<QByteArray> run(const QString& program, const QStringList& arguments) const {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, arguments);
        if (!process.waitForFinished(20'000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0)
            return std::nullopt;
        return process.readAllStandardOutput();
    }

    QProcess server;
    QString name;
};

} // namespace

TEST(XvfbSmoke, realWindowMatchesTheOffscreenRendering) {
    TempDir dir;
    const auto installer = dir / "quorvane-installer";
    std::filesystem::copy_file(QUORVANE_BINARY_DIR "/app/quorvane-installer", installer);
    std::filesystem::create_directories(dir / "Resources");
    writeFile(dir / "Resources" / "Payload.json", "{\"version\": ");

    VirtualDisplay display;
    ASSERT_FALSE(display.name.isEmpty()) << "Xvfb did not start";
    QProcess app;
    app.setProcessEnvironment(display.environment());
    app.start(QString::fromStdString(installer.string()), {});
    ASSERT_TRUE(app.waitForStarted());

    QString window;
    ASSERT_TRUE(spinUntil([&] {
        const auto found = display.run("xdotool", {"search", "--name", "^Install Quorvane Pro$"});
        if (found && !found->trimmed().isEmpty())
            window = QString::fromUtf8(*found).trimmed();
        return !window.isEmpty();
    }));
    EXPECT_FALSE(window.contains('\n')) << "one window only: " << window.toStdString();

    // Captures until two in a row agree: the window has painted and settled.
    const QString shot = QString::fromStdString((dir / "shot.png").string());
    QImage captured, previous;
    ASSERT_TRUE(spinUntil([&] {
        if (!display.run("import", {"-display", display.name, "-window", window, shot}))
            return false;
        previous = captured;
        captured = QImage(shot);
        return !captured.isNull() && captured == previous;
    }));

    ModelFixture fixture(std::nullopt);
    BootstrapWindow reference(fixture.model);
    ASSERT_EQ(fixture.model->phase(),
              InstallerPhase::failed(BootstrapFailure::configuration.message()));
    const QImage expected = render(reference);
    ASSERT_EQ(captured.size(), expected.size());
    const ImageDifference difference = compareImages(captured, expected);
    EXPECT_LT(difference.meanChannel, 1.0);
    EXPECT_LT(difference.pixelsApart, 0.005);

    // What the user must see, checked on the capture itself: the sentence in the failure ink,
    // no Retry link, and a bar with no gold on it.
    int failureInk = 0, linkInk = 0, gold = 0;
    const QColor background = installerColor(colors::background);
    for (int y = 0; y < captured.height(); ++y)
        for (int x = 0; x < captured.width(); ++x) {
            const QRgb pixel = captured.pixel(x, y);
            failureInk += coverage(pixel, installerColor(colors::failureInk), background) > 0.8;
            linkInk += coverage(pixel, installerColor(colors::link), background) > 0.8;
        }
    const QRect bar = reference.view().progressBar().geometry().translated(reference.view().pos());
    for (int x = bar.left(); x <= bar.right(); ++x)
        gold += coverage(captured.pixel(x, bar.top() + 1), installerColor(colors::gold),
                         installerColor(colors::track)) > 0.5;
    EXPECT_GT(failureInk, 100);
    EXPECT_EQ(linkInk, 0);
    EXPECT_EQ(gold, 0);

    // Ctrl+W closes the window and ends the program.
    ASSERT_TRUE(display.run("xdotool", {"windowfocus", "--sync", window}));
    ASSERT_TRUE(display.run("xdotool", {"key", "ctrl+w"}));
    ASSERT_TRUE(app.waitForFinished(20'000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}
