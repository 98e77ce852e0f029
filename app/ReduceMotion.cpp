#include "ReduceMotion.h"

#include <QDBusMessage>
#include <QDBusVariant>

namespace quorvane {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString interfaceGroup = QStringLiteral("org.gnome.desktop.interface");
const QString animationsKey = QStringLiteral("enable-animations");
// The answer only matters for the first frames; a portal that takes longer is as good as none.
constexpr int readTimeoutMs = 3000;

// Read() wraps the value in one variant more than the signal does; take off every layer.
QVariant unwrap(QVariant value) {
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

} // namespace

ReduceMotion::ReduceMotion(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    if (!bus_.isConnected())
        return;
    bus_.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"),
                 this, SLOT(settingChanged(QString, QString, QDBusVariant)));
    // Read, not ReadOne: every portal version has it.
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface,
                                                       QStringLiteral("Read"));
    read << interfaceGroup << animationsKey;
    // Asynchronous, so that a slow or absent portal never holds up the first frame. An error
    // (no portal, no such key) leaves the setting off; nothing else needs to happen then.
    bus_.callWithCallback(read, this, SLOT(readAnswered(QDBusVariant)), readTimeoutMs);
}

void ReduceMotion::readAnswered(const QDBusVariant& value) {
    if (!heardChange_)
        apply(value.variant());
}

void ReduceMotion::settingChanged(const QString& group, const QString& key,
                                  const QDBusVariant& value) {
    if (group != interfaceGroup || key != animationsKey)
        return;
    heardChange_ = true;
    apply(value.variant());
}

void ReduceMotion::apply(const QVariant& enableAnimations) {
    const QVariant value = unwrap(enableAnimations);
    if (value.metaType() != QMetaType::fromType<bool>())
        return;
    const bool on = !value.toBool();
    if (on == on_)
        return;
    on_ = on;
    emit changed(on_);
}

} // namespace quorvane
