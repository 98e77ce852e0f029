#include "FocusRing.h"

#include <algorithm>

namespace quorvane {

void paintFocusRing(QPainter& painter, const QRectF& outer, const QColor& ink, qreal radius) {
    const qreal half = focusRingWidth / 2;
    const QRectF stroke = outer.adjusted(half, half, -half, -half);
    const qreal inner = std::max<qreal>(0, radius - half);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(ink, focusRingWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(stroke, inner, inner);
    painter.restore();
}

} // namespace quorvane
