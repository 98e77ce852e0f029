#pragma once

#include <QFont>
#include <QString>

class QPaintDevice;

namespace quorvane::fonts {

inline constexpr int titlePixels = 25;
// A translated title too long for its line is drawn smaller, down to this size.
inline constexpr int minimumTitlePixels = 18;
inline constexpr qreal titleTracking = -0.25;
inline constexpr qreal statusPixels = 12.5;
// Qt rounds every font's pixel size to a whole number, so 12.5 px would come out as 13 px. The
// status text is therefore laid out at twice its size and drawn under a half scale: exact at
// every device pixel ratio, and at 2x the glyphs are rasterised at 25 px as they are.
inline constexpr qreal statusScale = 0.5;

// The desktop's UI font at 25 px, semibold (600), tracked -0.25 px. Where the desktop's family
// has no semibold face (Qt would show its bold one), the semibold face built into the program.
QFont title();
// `font` at the largest whole pixel size from its own down to `minimumPixels` at which `text`
// fits `width`; at `minimumPixels` when none does.
QFont fitted(QFont font, const QString& text, qreal width, int minimumPixels);
// The family title() draws with when the desktop's has no semibold face.
QString builtInTitleFamily();
// Whether the desktop's font lookup finds any face besides the built-in one. When it finds
// none, every line draws with the built-in face (Latin only: other scripts need the desktop's).
bool desktopHasFaces();
// Whether `family` has an upright face of exactly `weight`.
bool hasFace(const QString& family, int weight);

// The desktop's UI font at statusPixels / statusScale (25 px), for laying out status text that
// is then drawn under statusScale.
QFont statusLayout();

} // namespace quorvane::fonts
