#pragma once

#include <QDBusConnection>
#include <QObject>

#include "PortalSetting.h"

namespace quorvane {

// The desktop's wish for higher contrast, read live from the XDG desktop portal's settings:
// org.freedesktop.appearance contrast (1 asks for more; portals from 1.19 on) or GNOME's
// org.gnome.desktop.a11y.interface high-contrast (what older portals pass on). On while either
// asks; off until the portal answers, and off for good when there is no portal.
class HighContrast : public QObject {
    Q_OBJECT

public:
    explicit HighContrast(QDBusConnection bus = QDBusConnection::sessionBus(),
                          QObject* parent = nullptr);

    bool isOn() const noexcept { return on_; }

signals:
    void changed(bool on);

private:
    void update();

    PortalSetting contrast_;
    PortalSetting gnomeHighContrast_;
    bool on_ = false;
};

} // namespace quorvane
