#include "StatusBlock.h"

#include <cmath>

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include "InstallerAccessibility.h"
#include "InstallerColors.h"
#include "InstallerFonts.h"

namespace quorvane {
namespace {

// Lays `text` out in lines of `width`, centred; returns the height used.
qreal layOut(QTextLayout& layout, qreal width) {
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    qreal y = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLeadingIncluded(true);
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    return y;
}

} // namespace

StatusLine::StatusLine(QWidget* parent) : QWidget(parent), ink_(installerColor(colors::muted)) {
    installAccessibleFactory();
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void StatusLine::setText(const QString& text) {
    if (text == text_)
        return;
    const int before = heightForWidth(width());
    text_ = text;
    // Only a change in the number of wrapped lines moves the rest of the column.
    if (heightForWidth(width()) != before)
        updateGeometry();
    update();
}

void StatusLine::setInk(const QColor& ink) {
    if (ink == ink_)
        return;
    ink_ = ink;
    update();
}

int StatusLine::heightForWidth(int width) const {
    QTextLayout layout(text_, fonts::status(*this), const_cast<StatusLine*>(this));
    return int(std::ceil(layOut(layout, width)));
}

QSize StatusLine::sizeHint() const {
    const QFontMetricsF metrics(fonts::status(*this), const_cast<StatusLine*>(this));
    const int width = int(std::ceil(metrics.horizontalAdvance(text_)));
    return {width, heightForWidth(width > 0 ? width : 1)};
}

QSize StatusLine::minimumSizeHint() const {
    // One line at least; the height for the real width comes from heightForWidth().
    const QFontMetricsF metrics(fonts::status(*this), const_cast<StatusLine*>(this));
    return {0, int(std::ceil(metrics.lineSpacing()))};
}

void StatusLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QTextLayout layout(text_, fonts::status(*this), this);
    layOut(layout, width());
    painter.setPen(ink_);
    layout.draw(&painter, QPointF(0, 0));
}

LinkButton::LinkButton(const QString& text, QWidget* parent) : InstallerButton(parent) {
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

QSize LinkButton::sizeHint() const {
    const QFontMetricsF metrics(fonts::status(*this), const_cast<LinkButton*>(this));
    // A little room on each side for the focus ring.
    return {int(std::ceil(metrics.horizontalAdvance(text()))) + 6,
            int(std::ceil(metrics.height()))};
}

void LinkButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = fonts::status(*this);
    font.setUnderline(underMouse() || isDown());
    painter.setFont(font);
    const QColor link = palette().color(QPalette::Link);
    painter.setPen(link);
    painter.drawText(rect(), Qt::AlignCenter, text());
    if (showsFocusRing()) {
        painter.setPen(QPen(link, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    }
}

StatusBlock::StatusBlock(QWidget* parent) : QWidget(parent), layout_(this), retry_(tr("Retry")) {
    installAccessibleFactory();
    setObjectName(QStringLiteral("installer-status"));
    layout_.setContentsMargins(sideMargin, 0, sideMargin, 0);
    layout_.setSpacing(spacing);
    layout_.addWidget(&first_);
    layout_.addWidget(&second_);
    layout_.addWidget(&retry_, 0, Qt::AlignHCenter);
    second_.hide();
    retry_.hide();
    connect(&retry_, &QAbstractButton::clicked, this, &StatusBlock::retryClicked);
}

void StatusBlock::setContent(const Content& content) {
    if (content == content_)
        return;
    content_ = content;
    first_.setText(content.lines.value(0));
    first_.setInk(installerColor(content.failure ? colors::failureInk : colors::muted));
    second_.setText(content.lines.value(1));
    second_.setVisible(content.lines.size() > 1);
    retry_.setVisible(content.retry);
}

QList<QWidget*> StatusBlock::visibleItems() {
    QList<QWidget*> items;
    for (QWidget* item : std::initializer_list<QWidget*>{&first_, &second_, &retry_}) {
        if (!item->isHidden())
            items.append(item);
    }
    return items;
}

} // namespace quorvane
