#pragma once

#include <QIcon>
#include <QImage>
#include <QPointF>

namespace quorvane {

// Registers the resources built into the program (icon, title face, translations); idempotent.
void registerInstallerResources();

// The installer's own icon, drawn from the SVG built into the program.
QIcon installerIcon();

// The icon at `side` x `side` points with its drop shadow, rendered once for a screen of
// `devicePixelRatio`. `iconOrigin` is where the icon's top-left corner lies in the image.
struct ShadowedIcon {
    QImage image;
    QPointF iconOrigin;
};
ShadowedIcon renderShadowedIcon(const QIcon& icon, int side, qreal devicePixelRatio);

} // namespace quorvane
