#include "InstallerWaves.h"

#include <array>

#include <QPainter>
#include <QPen>

#include "InstallerColors.h"

namespace quorvane {
namespace {

struct Curve {
    QPointF control1, control2, end;
};

struct Wave {
    quint32 color;
    float opacity;
    QPointF start;
    std::array<Curve, 2> curves;
};

constexpr double gridWidth = 500;
constexpr double gridHeight = 340;

const std::array<Wave, 3> waves{{
    {colors::gold,
     0.3f,
     {-20, 250},
     {{{{80, 205}, {150, 300}, {250, 250}}, {{350, 200}, {420, 200}, {520, 245}}}}},
    {colors::gold,
     0.18f,
     {-20, 270},
     {{{{90, 235}, {160, 310}, {260, 268}}, {{360, 226}, {430, 225}, {520, 262}}}}},
    {colors::stroke,
     0.1f,
     {-20, 120},
     {{{{120, 60}, {220, 170}, {330, 110}}, {{440, 50}, {470, 70}, {520, 95}}}}},
}};

// Top and bottom x of the two slanted lines; both run from above the surface to below it.
constexpr std::array<std::pair<double, double>, 2> slants{{{60, 150}, {430, 380}}};
constexpr float slantOpacity = 0.08f;

QColor withOpacity(quint32 hex, float opacity) {
    QColor color = installerColor(hex);
    color.setAlphaF(opacity);
    return color;
}

} // namespace

std::vector<InstallerWaves::Stroke> InstallerWaves::strokes(QSizeF surface) {
    const double sx = surface.width() / gridWidth;
    const double sy = surface.height() / gridHeight;
    const auto at = [sx, sy](QPointF p) { return QPointF(p.x() * sx, p.y() * sy); };

    std::vector<Stroke> result;
    result.reserve(waves.size() + slants.size());
    for (const Wave& wave : waves) {
        QPainterPath path(at(wave.start));
        for (const Curve& c : wave.curves)
            path.cubicTo(at(c.control1), at(c.control2), at(c.end));
        result.push_back({path, withOpacity(wave.color, wave.opacity)});
    }
    for (const auto& [top, bottom] : slants) {
        QPainterPath path(at({top, -10}));
        path.lineTo(at({bottom, 350}));
        result.push_back({path, withOpacity(colors::stroke, slantOpacity)});
    }
    return result;
}

void InstallerWaves::paint(QPainter& painter, QSizeF surface) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    for (const Stroke& stroke : strokes(surface)) {
        // The points are scaled, not the painter, so the pen stays one point wide whatever the
        // surface size, and becomes two device pixels on a 2x screen instead of a thin hairline.
        painter.setPen(QPen(stroke.color, 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
        painter.drawPath(stroke.path);
    }
    painter.restore();
}

} // namespace quorvane
