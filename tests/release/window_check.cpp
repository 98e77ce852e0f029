// Compares a screen captured where the released installer runs with the window the build's own
// view code renders offscreen from the released folder's resources, as it shows the download
// failure with Retry; the fonts are whatever FONTCONFIG_FILE names. Prints the difference and
// where Retry lies on the screen; exits 0 when they match.
//   release_window RESOURCES SCREEN.png REFERENCE_OUT.png

#include <cstdio>

#include <QApplication>

#include "BootstrapApp.h"
#include "ImageDifference.h"
#include "WindowReader.h"
#include "manifest/BootstrapFailure.h"

using namespace quorvane;
using namespace quorvane::test;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: release_window RESOURCES SCREEN.png REFERENCE_OUT.png\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    BootstrapApp::configure();
    const WindowReader reader(argv[1]);
    const std::string sentence = BootstrapFailure::download.message();
    const QImage reference = reader.rendering(sentence);
    reference.save(QString::fromLocal8Bit(argv[3]));
    const QImage screen =
        QImage(QString::fromLocal8Bit(argv[2])).convertToFormat(QImage::Format_RGB32);
    if (screen.isNull()) {
        std::printf("no screen image in %s\n", argv[2]);
        return 1;
    }
    // Both displays are black around the window.
    const QRect area = windowArea(screen, qRgb(0, 0, 0));
    if (area.size() != reference.size()) {
        std::printf("window %dx%d at %d,%d; the rendering is %dx%d\n", area.width(), area.height(),
                    area.x(), area.y(), reference.width(), reference.height());
        return 1;
    }
    const ImageDifference difference = compareImages(screen.copy(area), reference);
    const QPoint retry = area.topLeft() + reader.retryPoint(sentence);
    std::printf("mean channel %.3f, pixels apart %.5f\nretry %d %d\n", difference.meanChannel,
                difference.pixelsApart, retry.x(), retry.y());
    return sameWindow(difference) ? 0 : 1;
}
