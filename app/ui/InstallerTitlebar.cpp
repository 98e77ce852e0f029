#include "InstallerTitlebar.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include "InstallerColors.h"

namespace quorvane {
namespace {

constexpr int closeMargin = (InstallerTitlebar::stripHeight - CloseButton::side) / 2;
constexpr qreal crossHalf = 3.5;

} // namespace

CloseButton::CloseButton(QWidget* parent) : InstallerButton(parent) {
    setAccessibleName(tr("Close"));
    setToolTip(tr("Close"));
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(side, side);
}

void CloseButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF disc = QRectF(rect()).adjusted(2, 2, -2, -2);
    if (underMouse() || isDown() || showsFocusRing()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(installerColor(isDown() ? colors::muted : colors::track));
        painter.drawEllipse(disc);
    }
    const QPointF c = disc.center();
    painter.setPen(QPen(installerColor(isDown() ? colors::background : colors::muted), 1.3,
                        Qt::SolidLine, Qt::RoundCap));
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
