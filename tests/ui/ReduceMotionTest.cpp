#include <map>

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "EventLoopSpin.h"
#include "HighContrast.h"
#include "PrivateBus.h"
#include "ReduceMotion.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

// A private message bus with no services that could be started on demand, and the named
// connections made to it, closed before it goes.
class DesktopBus {
public:
    ~DesktopBus() {
        for (const QString& name : connections)
            QDBusConnection::disconnectFromBus(name);
    }
    QDBusConnection connect(const QString& name) {
        connections.append(name);
        return QDBusConnection::connectToBus(address, name);
    }

    test::PrivateBus daemon;
    QString address = QString::fromStdString(daemon.address());
    QStringList connections;
};

// The desktop portal's settings, as much of them as the installer reads.
class FakePortal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    std::map<std::pair<QString, QString>, QVariant> settings;
    int reads = 0;

    void change(const QString& group, const QString& key, const QVariant& value) {
        settings[{group, key}] = value;
        emit SettingChanged(group, key, QDBusVariant(value));
    }

public slots:
    // Read answers with the value wrapped in one more variant, as the portal does.
    QDBusVariant Read(const QString& group, const QString& key) {
        ++reads;
        const auto found = settings.find({group, key});
        if (found == settings.end()) {
            sendErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                           QStringLiteral("Requested setting not found"));
            return {};
        }
        return QDBusVariant(QVariant::fromValue(QDBusVariant(found->second)));
    }

signals:
    void SettingChanged(const QString& group, const QString& key, const QDBusVariant& value);
};

const QString group = "org.gnome.desktop.interface";
const QString key = "enable-animations";

struct Desktop {
    explicit Desktop(bool withPortal) {
        if (!withPortal)
            return;
        QDBusConnection service = bus.connect("portal");
        service.registerService("org.freedesktop.portal.Desktop");
        service.registerObject("/org/freedesktop/portal/desktop", &portal,
                               QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
    }
    DesktopBus bus;
    FakePortal portal;
};

} // namespace

TEST(ReduceMotion, followsThePortalSettingLive) {
    Desktop desktop(true);
    ASSERT_FALSE(desktop.bus.address.isEmpty());
    desktop.portal.settings[{group, key}] = false; // animations off: reduce motion on
    ReduceMotion setting(desktop.bus.connect("installer"));
    QSignalSpy changes(&setting, &ReduceMotion::changed);
    EXPECT_FALSE(setting.isOn()) << "off until the portal answers";
    ASSERT_TRUE(spinUntil([&] { return setting.isOn(); }));

    desktop.portal.change(group, key, true);
    ASSERT_TRUE(spinUntil([&] { return !setting.isOn(); }));
    // Other settings, and values of the wrong type, change nothing.
    desktop.portal.change(group, "gtk-theme", "Adwaita-dark");
    desktop.portal.change("org.freedesktop.appearance", key, false);
    desktop.portal.change(group, key, QString("false"));
    desktop.portal.change(group, key, false);
    ASSERT_TRUE(spinUntil([&] { return setting.isOn(); }));
    EXPECT_EQ(changes.size(), 3);
    EXPECT_EQ(desktop.portal.reads, 1);
}

TEST(ReduceMotion, offWithoutAnAnswer) {
    struct Case {
        const char* name;
        bool portal;
    } cases[] = {{"no portal on the bus", false}, {"a portal without the setting", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Desktop desktop(c.portal);
        ReduceMotion setting(desktop.bus.connect("installer"));
        QSignalSpy changes(&setting, &ReduceMotion::changed);
        if (c.portal) {
            ASSERT_TRUE(spinUntil([&] { return desktop.portal.reads == 1; }));
        }
        spinFor(std::chrono::milliseconds(200)); // let the error reply arrive
        EXPECT_FALSE(setting.isOn());
        EXPECT_EQ(changes.size(), 0);
    }
    // And with no bus at all.
    ReduceMotion unconnected(QDBusConnection("not-connected"));
    EXPECT_FALSE(unconnected.isOn());
}

TEST(HighContrast, followsEitherPortalSettingLive) {
    struct Case {
        const char* name;
        QString group, key;
        QVariant on, off, wrongType;
    } cases[] = {
        {"the portal's own contrast", "org.freedesktop.appearance", "contrast", uint(1), uint(0),
         QString("1")},
        {"GNOME's high-contrast", "org.gnome.desktop.a11y.interface", "high-contrast", true, false,
         uint(1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Desktop desktop(true);
        desktop.portal.settings[{c.group, c.key}] = c.on;
        HighContrast setting(desktop.bus.connect("installer"));
        QSignalSpy changes(&setting, &HighContrast::changed);
        EXPECT_FALSE(setting.isOn()) << "off until the portal answers";
        ASSERT_TRUE(spinUntil([&] { return setting.isOn(); }));
        desktop.portal.change(c.group, c.key, c.off);
        ASSERT_TRUE(spinUntil([&] { return !setting.isOn(); }));
        desktop.portal.change(c.group, c.key, c.wrongType);
        desktop.portal.change(c.group, "color-scheme", uint(1));
        desktop.portal.change(c.group, c.key, c.on);
        ASSERT_TRUE(spinUntil([&] { return setting.isOn(); }));
        EXPECT_EQ(changes.size(), 3);
        EXPECT_EQ(desktop.portal.reads, 2) << "each setting read once";
    }
}

TEST(HighContrast, onWhileEitherAsks) {
    Desktop desktop(true);
    const QString appearance = "org.freedesktop.appearance",
                  gnome = "org.gnome.desktop.a11y.interface";
    desktop.portal.settings[{appearance, "contrast"}] = uint(0);
    desktop.portal.settings[{gnome, "high-contrast"}] = true;
    HighContrast setting(desktop.bus.connect("installer"));
    ASSERT_TRUE(spinUntil([&] { return setting.isOn(); }));
    desktop.portal.change(appearance, "contrast", uint(1));
    desktop.portal.change(gnome, "high-contrast", false);
    spinFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(setting.isOn()) << "the portal's own setting still asks";
    desktop.portal.change(appearance, "contrast", uint(0));
    EXPECT_TRUE(spinUntil([&] { return !setting.isOn(); }));
}

TEST(HighContrast, offWithoutAPortal) {
    Desktop desktop(false);
    HighContrast setting(desktop.bus.connect("installer"));
    spinFor(std::chrono::milliseconds(200));
    EXPECT_FALSE(setting.isOn());
}

#include "ReduceMotionTest.moc"
