#pragma once

#include <QColor>
#include <QPainter>
#include <QRectF>

namespace quorvane {

// How keyboard focus is shown on the installer's controls: a ring in the link colour, 2 px
// wide at scale 1 (the width focus indicators are asked to have), drawn just inside `outer`.
// `outer` should lie on whole points, so that the ring covers whole pixels at 1x and 2x;
// `radius` rounds its outer corners (half the side for a circle).
inline constexpr qreal focusRingWidth = 2;
void paintFocusRing(QPainter& painter, const QRectF& outer, const QColor& ink, qreal radius);

} // namespace quorvane
