#include "HighContrast.h"

namespace quorvane {

HighContrast::HighContrast(QDBusConnection bus, QObject* parent)
    : QObject(parent),
      contrast_(bus, QStringLiteral("org.freedesktop.appearance"), QStringLiteral("contrast")),
      gnomeHighContrast_(bus, QStringLiteral("org.gnome.desktop.a11y.interface"),
                         QStringLiteral("high-contrast")) {
    connect(&contrast_, &PortalSetting::changed, this, &HighContrast::update);
    connect(&gnomeHighContrast_, &PortalSetting::changed, this, &HighContrast::update);
}

void HighContrast::update() {
    // contrast is a uint32 (0 no preference, 1 higher); high-contrast a boolean. Anything else
    // asks for nothing.
    const QVariant& contrast = contrast_.value();
    const QVariant& gnome = gnomeHighContrast_.value();
    const bool on =
        (contrast.metaType() == QMetaType::fromType<uint>() && contrast.toUInt() == 1) ||
        (gnome.metaType() == QMetaType::fromType<bool>() && gnome.toBool());
    if (on == on_)
        return;
    on_ = on;
    emit changed(on_);
}

} // namespace quorvane
