#pragma once

#include <QFont>

class QPaintDevice;

namespace quorvane::fonts {

inline constexpr int titlePixels = 25;
inline constexpr qreal titleTracking = -0.25;
inline constexpr qreal statusPixels = 12.5;

// The desktop's UI font at 25 px, semibold, tracked -0.25 px.
QFont title();
// The desktop's UI font at 12.5 px on `device`. QFont takes whole pixel sizes only, so the size
// is given in points through the device's logical DPI, which Qt turns back into 12.5 px.
QFont status(const QPaintDevice& device);

} // namespace quorvane::fonts
