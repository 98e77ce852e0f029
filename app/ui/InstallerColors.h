#pragma once

#include <QColor>
#include <QPalette>

namespace quorvane {

// An opaque sRGB colour from 0xRRGGBB.
QColor installerColor(quint32 hex);

// The installer's fixed light palette; the window looks the same whatever the desktop theme.
namespace colors {
inline constexpr quint32 background = 0xF6F4EF;
inline constexpr quint32 gold = 0xE0962F;
inline constexpr quint32 muted = 0x7A756C; // 4.16:1 on the background
// The muted ink when the desktop asks for higher contrast: 5.5:1 on the background.
inline constexpr quint32 mutedHighContrast = 0x67625A;
inline constexpr quint32 titleInk = 0x1D1C1A;
inline constexpr quint32 failureInk = 0x993B2C;
inline constexpr quint32 track = 0xDCD8CF;
inline constexpr quint32 stroke = 0x3C3223;
// Links and focus rings: a blue that reads as a link and keeps 5:1 contrast on the background.
inline constexpr quint32 link = 0x2160C4;
} // namespace colors

// The muted ink, darker when the desktop asks for higher contrast.
QColor mutedInk(bool highContrast);

// The palette the application forces on every widget.
QPalette installerPalette();

} // namespace quorvane
