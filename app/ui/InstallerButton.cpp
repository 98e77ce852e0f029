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
    keyboardFocus_ =
        event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
}

void InstallerButton::focusOutEvent(QFocusEvent* event) {
    keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
}

} // namespace quorvane
