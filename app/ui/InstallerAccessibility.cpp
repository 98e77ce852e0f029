#include "InstallerAccessibility.h"

#include <mutex>

#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QCoreApplication>

#include "Announcer.h"
#include "BootstrapWindow.h"
#include "ProgressBar.h"
#include "StatusBlock.h"

namespace quorvane {
namespace {

class ProgressBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ProgressBarAccessible(ProgressBar* bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    QString text(QAccessible::Text t) const override {
        switch (t) {
        case QAccessible::Name:
            //: What screen readers call the progress bar; never drawn. Its value ("42%")
            //: is not translated.
            return QCoreApplication::translate("quorvane::ProgressBar", "Installation progress");
        case QAccessible::Value:
            return bar()->accessibleValue();
        default:
            return QAccessibleWidget::text(t);
        }
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // The numeric value exists only while downloading, like the text.
    QVariant currentValue() const override {
        const auto percent = bar()->percent();
        return percent ? QVariant(*percent) : QVariant();
    }
    void setCurrentValue(const QVariant&) override {}
    // Outside the download the range is empty: Qt 6.4's AT-SPI bridge publishes no value text,
    // and screen readers read a bar with an empty range as having no value.
    QVariant maximumValue() const override { return bar()->percent() ? 100 : 0; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    ProgressBar* bar() const { return static_cast<ProgressBar*>(widget()); }
};

// A status bar: screen readers speak the notifications inside it without a role word, and Orca
// reads it on demand (its status bar command).
class StatusBlockAccessible : public QAccessibleWidget {
public:
    explicit StatusBlockAccessible(StatusBlock* block)
        : QAccessibleWidget(block, QAccessible::StatusBar) {}

    int childCount() const override { return int(block()->visibleItems().size()); }
    QAccessibleInterface* child(int index) const override {
        const auto items = block()->visibleItems();
        if (index < 0 || index >= items.size())
            return nullptr;
        return QAccessible::queryAccessibleInterface(items[index]);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child)
            return -1;
        return int(block()->visibleItems().indexOf(qobject_cast<QWidget*>(child->object())));
    }

private:
    StatusBlock* block() const { return static_cast<StatusBlock*>(widget()); }
};

class StatusLineAccessible : public QAccessibleWidget {
public:
    explicit StatusLineAccessible(StatusLine* line)
        : QAccessibleWidget(line, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return static_cast<StatusLine*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        return state;
    }
};

class AnnouncementAccessible : public QAccessibleObject {
public:
    explicit AnnouncementAccessible(Announcement* announcement) : QAccessibleObject(announcement) {}

    QWindow* window() const override {
        QWidget* host = announcement()->host();
        return host ? host->window()->windowHandle() : nullptr;
    }
    QAccessibleInterface* parent() const override {
        QWidget* host = announcement()->host();
        return host ? QAccessible::queryAccessibleInterface(host) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name ? announcement()->text() : QString();
    }
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.readOnly = true;
        return state;
    }

private:
    Announcement* announcement() const { return static_cast<Announcement*>(object()); }
};

// The installer's window is a plain QWidget, which would otherwise be a filler to AT-SPI
// clients; screen readers look for a frame.
class WindowAccessible : public QAccessibleWidget {
public:
    explicit WindowAccessible(BootstrapWindow* window)
        : QAccessibleWidget(window, QAccessible::Window) {}
};

template <class Widget> bool is(const QString& key, QObject* object) {
    return key == QLatin1String(Widget::staticMetaObject.className()) &&
           qobject_cast<Widget*>(object) != nullptr;
}

// Qt owns the interfaces a factory returns and frees them with their objects.
QAccessibleInterface* factory(const QString& key, QObject* object) {
    if (is<BootstrapWindow>(key, object))
        return new WindowAccessible(static_cast<BootstrapWindow*>(object));
    if (is<ProgressBar>(key, object))
        return new ProgressBarAccessible(static_cast<ProgressBar*>(object));
    if (is<StatusBlock>(key, object))
        return new StatusBlockAccessible(static_cast<StatusBlock*>(object));
    if (is<StatusLine>(key, object))
        return new StatusLineAccessible(static_cast<StatusLine*>(object));
    if (is<Announcement>(key, object))
        return new AnnouncementAccessible(static_cast<Announcement*>(object));
    return nullptr;
}

} // namespace

void installAccessibleFactory() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(&factory); });
}

} // namespace quorvane
