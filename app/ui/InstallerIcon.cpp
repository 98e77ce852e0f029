#include "InstallerIcon.h"

#include <cmath>
#include <memory>

#include <QGraphicsDropShadowEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPainter>

// The resources live in a static library, whose registration the linker would drop.
static void registerResources() {
    Q_INIT_RESOURCE(installer);
    Q_INIT_RESOURCE(app_ui_translations);
}

namespace quorvane {

void registerInstallerResources() {
    static const bool registered = (registerResources(), true);
    Q_UNUSED(registered);
}
namespace {

constexpr qreal shadowOpacity = 0.16;
constexpr qreal shadowBlur = 14;
constexpr QPointF shadowOffset{0, 8};

} // namespace

QIcon installerIcon() {
    registerInstallerResources();
    // Qt's SVG icon engine draws it afresh at every size asked for.
    return QIcon(QStringLiteral(":/quorvane/InstallerIcon.svg"));
}

ShadowedIcon renderShadowedIcon(const QIcon& icon, int side, qreal devicePixelRatio) {
    const QPixmap pixmap = icon.pixmap(QSize(side, side), devicePixelRatio);
    if (pixmap.isNull())
        return {};

    // Qt's own drop-shadow filter, run once through a scene: the result is cached by the view.
    QGraphicsScene scene;
    QGraphicsPixmapItem* item = scene.addPixmap(pixmap); // owned by the scene
    auto shadow = std::make_unique<QGraphicsDropShadowEffect>();
    shadow->setColor(QColor::fromRgbF(0, 0, 0, shadowOpacity));
    shadow->setBlurRadius(shadowBlur);
    shadow->setOffset(shadowOffset);
    const QRectF bounds = shadow->boundingRectFor(QRectF(0, 0, side, side)).toAlignedRect();
    item->setGraphicsEffect(shadow.release()); // the item owns its effect

    QImage image((bounds.size() * devicePixelRatio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        scene.render(&painter, QRectF(QPointF(), bounds.size()), bounds);
    }
    return {image, -bounds.topLeft()};
}

} // namespace quorvane
