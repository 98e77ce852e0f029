#include "ReduceMotion.h"

#include <QDBusMessage>
#include <QDBusPendingReply>
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
                 this, SLOT(settingChanged(QDBusMessage)));
    // Read, not ReadOne: every portal version has it.
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface,
                                                       QStringLiteral("Read"));
    read << interfaceGroup << animationsKey;
    // Asynchronous, so that a slow or absent portal never holds up the first frame. An error
    // (no portal, no such key) leaves the setting off; nothing else needs to happen then.
    firstRead_ = std::make_unique<QDBusPendingCallWatcher>(bus_.asyncCall(read, readTimeoutMs));
    connect(firstRead_.get(), &QDBusPendingCallWatcher::finished, this,
            &ReduceMotion::readAnswered);
}

void ReduceMotion::readAnswered() {
    const QDBusPendingReply<QDBusVariant> reply = *firstRead_;
    // Not deleted inside its own signal.
    firstRead_.release()->deleteLater();
    if (!reply.isError() && !heardChange_)
        apply(reply.argumentAt<0>().variant());
}

// Takes the whole message: Qt 6.4 will not connect a bus signal to a slot with a QDBusVariant
// parameter.
void ReduceMotion::settingChanged(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() != 3 || arguments[0].toString() != interfaceGroup ||
        arguments[1].toString() != animationsKey)
        return;
    heardChange_ = true;
    apply(arguments[2]);
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
