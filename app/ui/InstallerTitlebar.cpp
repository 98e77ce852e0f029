#include "InstallerTitlebar.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include "FocusRing.h"
#include "InstallerColors.h"

namespace quorvane {
namespace {

constexpr int closeMargin = (InstallerTitlebar::stripHeight - CloseButton::side) / 2;
constexpr qreal crossHalf = 3.5;

} // namespace

CloseButton::CloseButton(QWidget* parent)
    : InstallerButton(parent), ink_(installerColor(colors::muted)) {
    //: The small cross at the window's top right, which closes the window: what screen readers
    //: call it, and its tooltip. One or two words.
    const QString name = tr("Close");
    setAccessibleName(name);
    setToolTip(name);
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(side, side);
}

void CloseButton::setInk(const QColor& ink) {
    ink_ = ink;
    update();
}

void CloseButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF disc =
        QRectF(rect()).adjusted(focusRingWidth, focusRingWidth, -focusRingWidth, -focusRingWidth);
    if (underMouse() || isDown() || showsFocusRing()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(isDown() ? ink_ : installerColor(colors::track));
        painter.drawEllipse(disc);
    }
    // The disc alone is too faint to find the focus by; a ring in the link colour marks it.
    if (showsFocusRing())
        paintFocusRing(painter, rect(), palette().color(QPalette::Link), side / 2.0);
    const QPointF c = disc.center();
    painter.setPen(QPen(isDown() ? installerColor(colors::background) : ink_, 1.3, Qt::SolidLine,
                        Qt::RoundCap));
    painter.drawLine(c + QPointF(-crossHalf, -crossHalf), c + QPointF(crossHalf, crossHalf));
    painter.drawLine(c + QPointF(-crossHalf, crossHalf), c + QPointF(crossHalf, -crossHalf));
}

InstallerTitlebar::InstallerTitlebar(QWidget* parent) : QWidget(parent), close_(this) {
    setFixedHeight(stripHeight);
    connect(&close_, &QAbstractButton::clicked, this, &InstallerTitlebar::closeRequested);
}

void InstallerTitlebar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    close_.move(width() - closeMargin - CloseButton::side, closeMargin);
}

void InstallerTitlebar::paintEvent(QPaintEvent*) {
    QPainter(this).fillRect(rect(), installerColor(colors::background));
}

void InstallerTitlebar::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    event->accept();
    QWidget* top = window();
    // The window manager moves the window when it can, snapping and all.
    if (QWindow* handle = top->windowHandle(); handle && handle->startSystemMove())
        return;
    grabOffset_ = event->globalPosition().toPoint() - top->pos();
}

void InstallerTitlebar::mouseMoveEvent(QMouseEvent* event) {
    if (!grabOffset_)
        return QWidget::mouseMoveEvent(event);
    event->accept();
    window()->move(event->globalPosition().toPoint() - *grabOffset_);
}

void InstallerTitlebar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        grabOffset_.reset();
    QWidget::mouseReleaseEvent(event);
}

} // namespace quorvane
