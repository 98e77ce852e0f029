#include "InstallerButton.h"

#include <QEvent>
#include <QFocusEvent>

namespace quorvane {

InstallerButton::InstallerButton(QWidget* parent) : QAbstractButton(parent) {
    setAttribute(Qt::WA_Hover);
}

bool InstallerButton::event(QEvent* event) {
    if (event->type() == QEvent::HoverEnter || event->type() == QEvent::HoverLeave)
        update();
    return QAbstractButton::event(event);
}

void InstallerButton::focusInEvent(QFocusEvent* event) {
    switch (event->reason()) {
    case Qt::ActiveWindowFocusReason:
        break; // the window came back: as it was before
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
    case Qt::OtherFocusReason: // moved here by the installer, for the keyboard
        keyboardFocus_ = true;
        break;
    default:
        keyboardFocus_ = false;
    }
    QAbstractButton::focusInEvent(event);
}

void InstallerButton::focusOutEvent(QFocusEvent* event) {
    if (event->reason() != Qt::ActiveWindowFocusReason)
        keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
}

} // namespace quorvane
