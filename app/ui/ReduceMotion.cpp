#include "ReduceMotion.h"

namespace quorvane {

ReduceMotion::ReduceMotion(QDBusConnection bus, QObject* parent)
    : QObject(parent), animations_(std::move(bus), QStringLiteral("org.gnome.desktop.interface"),
                                   QStringLiteral("enable-animations")) {
    connect(&animations_, &PortalSetting::changed, this, &ReduceMotion::apply);
}

void ReduceMotion::apply(const QVariant& enableAnimations) {
    // A value of the wrong type changes nothing.
    if (enableAnimations.metaType() != QMetaType::fromType<bool>())
        return;
    const bool on = !enableAnimations.toBool();
    if (on == on_)
        return;
    on_ = on;
    emit changed(on_);
}

} // namespace quorvane
