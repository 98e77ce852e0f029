#include "PortalSetting.h"

#include <QDBusPendingReply>
#include <QDBusVariant>

namespace quorvane {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
// The answer only matters for the first frames; a portal that takes longer is as good as none.
constexpr int readTimeoutMs = 3000;

// Read() wraps the value in one variant more than the signal does; take off every layer.
QVariant unwrap(QVariant value) {
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

} // namespace

PortalSetting::PortalSetting(QDBusConnection bus, QString group, QString key, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), group_(std::move(group)), key_(std::move(key)) {
    if (!bus_.isConnected())
        return;
    bus_.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"),
                 this, SLOT(settingChanged(QDBusMessage)));
    // Read, not ReadOne: every portal version has it.
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface,
                                                       QStringLiteral("Read"));
    read << group_ << key_;
    // Asynchronous, so that a slow or absent portal never holds up the first frame. An error
    // (no portal, no such key) leaves the value invalid; nothing else needs to happen then.
    firstRead_ = std::make_unique<QDBusPendingCallWatcher>(bus_.asyncCall(read, readTimeoutMs));
    connect(firstRead_.get(), &QDBusPendingCallWatcher::finished, this,
            &PortalSetting::readAnswered);
}

void PortalSetting::readAnswered() {
    const QDBusPendingReply<QDBusVariant> reply = *firstRead_;
    // Not deleted inside its own signal.
    firstRead_.release()->deleteLater();
    if (!reply.isError() && !heardChange_)
        apply(reply.argumentAt<0>().variant());
}

// Takes the whole message: Qt 6.4 will not connect a bus signal to a slot with a QDBusVariant
// parameter.
void PortalSetting::settingChanged(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() != 3 || arguments[0].toString() != group_ ||
        arguments[1].toString() != key_)
        return;
    heardChange_ = true;
    apply(arguments[2]);
}

void PortalSetting::apply(const QVariant& value) {
    const QVariant unwrapped = unwrap(value);
    if (unwrapped == value_ && unwrapped.metaType() == value_.metaType())
        return;
    value_ = unwrapped;
    emit changed(value_);
}

} // namespace quorvane
