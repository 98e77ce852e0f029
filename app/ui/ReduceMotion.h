#pragma once

#include <memory>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QObject>

namespace quorvane {

// The desktop's wish for less motion, read live from the XDG desktop portal's settings
// (org.gnome.desktop.interface enable-animations, turned around). Off until the portal answers,
// and off for good when there is no portal.
class ReduceMotion : public QObject {
    Q_OBJECT

public:
    explicit ReduceMotion(QDBusConnection bus = QDBusConnection::sessionBus(),
                          QObject* parent = nullptr);

    bool isOn() const noexcept { return on_; }

signals:
    void changed(bool on);

private slots:
    void settingChanged(const QDBusMessage& message);

private:
    void readAnswered();
    void apply(const QVariant& enableAnimations);

    QDBusConnection bus_;
    bool on_ = false;
    // A change signal is newer than the answer to the first read, whatever order they come in.
    bool heardChange_ = false;
    std::unique_ptr<QDBusPendingCallWatcher> firstRead_;
};

} // namespace quorvane
