#pragma once

#include <vector>

#include <QColor>
#include <QPainterPath>
#include <QSizeF>

class QPainter;

namespace quorvane {

// The still drawing behind the installer's content: three faint curves and two slanted lines,
// laid out on a 500 x 340 grid and stretched to the surface. The view paints it into its own
// background, so it never appears to assistive technology.
class InstallerWaves {
public:
    struct Stroke {
        QPainterPath path;
        QColor color; // with its opacity
    };

    // The five strokes in drawing order, in surface coordinates.
    static std::vector<Stroke> strokes(QSizeF surface);
    static void paint(QPainter& painter, QSizeF surface);
};

} // namespace quorvane
