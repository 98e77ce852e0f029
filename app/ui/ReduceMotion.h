#pragma once

#include <QDBusConnection>
#include <QObject>

#include "PortalSetting.h"

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

private:
    void apply(const QVariant& enableAnimations);

    PortalSetting animations_;
    bool on_ = false;
};

} // namespace quorvane
