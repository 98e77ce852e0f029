#pragma once

#include <memory>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QVariant>

namespace quorvane {

// One desktop setting, read live from the XDG desktop portal's Settings interface: the first
// answer to Read, then every SettingChanged for the same group and key. Invalid until the
// portal answers, and for good when there is no portal or no such setting.
class PortalSetting : public QObject {
    Q_OBJECT

public:
    PortalSetting(QDBusConnection bus, QString group, QString key, QObject* parent = nullptr);

    // The value with every variant layer taken off.
    const QVariant& value() const noexcept { return value_; }

signals:
    void changed(const QVariant& value);

private slots:
    void settingChanged(const QDBusMessage& message);

private:
    void readAnswered();
    void apply(const QVariant& value);

    QDBusConnection bus_;
    QString group_;
    QString key_;
    QVariant value_;
    // A change signal is newer than the answer to the first read, whatever order they come in.
    bool heardChange_ = false;
    std::unique_ptr<QDBusPendingCallWatcher> firstRead_;
};

} // namespace quorvane
