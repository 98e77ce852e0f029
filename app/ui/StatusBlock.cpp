#include "StatusBlock.h"

#include <algorithm>
#include <cmath>

#include <QAccessible>
#include <QFocusEvent>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QPainter>
#include <QRawFont>
#include <QTextLayout>

#include "FocusRing.h"
#include "InstallerAccessibility.h"
#include "InstallerColors.h"
#include "InstallerFonts.h"

namespace quorvane {
namespace {

using fonts::statusScale;

// Lays `text` out in lines of `width`, centred, in `direction`, at the layout size; returns the
// height used, at the layout size too.
qreal layOut(QTextLayout& layout, qreal width, Qt::LayoutDirection direction) {
    QTextOption option(Qt::AlignHCenter);
    option.setTextDirection(direction);
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

QString retryLabel() {
    //: The link under a failure sentence (which stays in English) that starts the installation
    //: again: the word the desktop uses for Retry. One short line, centred.
    return StatusBlock::tr("Retry");
}

// Where the glyphs of `layout` put ink. Some scripts draw marks beyond the line the font
// declares (Devanagari vowel signs above it, Arabic tails below it).
QRectF inkBounds(const QTextLayout& layout) {
    QRectF bounds;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QRawFont font = run.rawFont();
        const auto glyphs = run.glyphIndexes();
        const auto positions = run.positions();
        for (qsizetype i = 0; i < glyphs.size(); ++i)
            bounds = bounds.united(font.boundingRect(glyphs[i]).translated(positions[i]));
    }
    return bounds;
}

// The top and bottom of what `layout` draws, its lines and its ink, at the layout size.
std::pair<qreal, qreal> drawnSpan(const QTextLayout& layout) {
    const int lines = layout.lineCount();
    const qreal bottom = lines == 0 ? 0 : layout.lineAt(lines - 1).rect().bottom();
    const QRectF ink = inkBounds(layout);
    if (ink.isEmpty())
        return {0, bottom};
    return {std::min<qreal>(0, ink.top()), std::max(bottom, ink.bottom())};
}

QFontMetricsF statusMetrics(const QWidget* widget) {
    return QFontMetricsF(fonts::statusLayout(), const_cast<QWidget*>(widget));
}

} // namespace

qreal StatusLine::advance(const QString& text, const QWidget* widget) {
    return statusMetrics(widget).horizontalAdvance(text) * statusScale;
}

qreal StatusLine::lineSpacing(const QWidget* widget) {
    return statusMetrics(widget).lineSpacing() * statusScale;
}

int StatusLine::lineCount(int width) const {
    return textLayout(width)->lineCount();
}

std::unique_ptr<QTextLayout> StatusLine::textLayout(int width) const {
    auto layout =
        std::make_unique<QTextLayout>(text_, fonts::statusLayout(), const_cast<StatusLine*>(this));
    layOut(*layout, width / statusScale, textDirection());
    return layout;
}

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
    // Assistive technology keeps a copy of each name and updates it on this event only.
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
    // Only a change in the number of wrapped lines moves the rest of the column.
    if (heightForWidth(width()) != before)
        updateGeometry();
    update();
}

void StatusLine::setDirectionFromText(bool on) {
    if (on == directionFromText_)
        return;
    directionFromText_ = on;
    update();
}

Qt::LayoutDirection StatusLine::textDirection() const {
    if (!directionFromText_)
        return layoutDirection();
    return text_.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
}

void StatusLine::setInk(const QColor& ink) {
    if (ink == ink_)
        return;
    ink_ = ink;
    update();
}

qreal StatusLine::textTop(int width) const {
    return -drawnSpan(*textLayout(width)).first * statusScale;
}

int StatusLine::heightForWidth(int width) const {
    const auto [top, bottom] = drawnSpan(*textLayout(width));
    return int(std::ceil((bottom - top) * statusScale));
}

QSize StatusLine::sizeHint() const {
    const int width = int(std::ceil(advance(text_, this)));
    return {width, heightForWidth(width > 0 ? width : 1)};
}

QSize StatusLine::minimumSizeHint() const {
    // One line at least; the height for the real width comes from heightForWidth().
    return {0, int(std::ceil(lineSpacing(this)))};
}

void StatusLine::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(ink_);
    painter.translate(0, textTop(width()));
    painter.scale(statusScale, statusScale);
    textLayout(width())->draw(&painter, QPointF(0, 0));
}

LinkButton::LinkButton(const QString& text, QWidget* parent) : InstallerButton(parent) {
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

QSize LinkButton::sizeHint() const {
    // Room on each side for the focus ring and a gap inside it.
    const int room = 2 * (int(focusRingWidth) + 2);
    return {int(std::ceil(StatusLine::advance(text(), this))) + room,
            int(std::ceil(statusMetrics(this).height() * statusScale))};
}

void LinkButton::keyPressEvent(QKeyEvent* event) {
    // Enter presses it as well as Space, as it would a link.
    if (!event->isAutoRepeat() &&
        (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        event->accept();
        animateClick();
        return;
    }
    InstallerButton::keyPressEvent(event);
}

void LinkButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor link = palette().color(QPalette::Link);
    if (showsFocusRing())
        paintFocusRing(painter, rect(), link, 4);
    QFont font = fonts::statusLayout();
    font.setUnderline(underMouse() || isDown());
    painter.setFont(font);
    painter.setPen(link);
    painter.scale(statusScale, statusScale);
    painter.drawText(QRectF(QPointF(0, 0), QSizeF(size()) / statusScale), Qt::AlignCenter, text());
}

StatusBlock::StatusBlock(QWidget* parent)
    : QWidget(parent), layout_(this), retry_(retryLabel()),
      mutedInk_(installerColor(colors::muted)) {
    installAccessibleFactory();
    setObjectName(QStringLiteral("installer-status"));
    layout_.setContentsMargins(sideMargin, 0, sideMargin, 0);
    layout_.setSpacing(spacing);
    layout_.addWidget(&first_);
    layout_.addWidget(&second_);
    layout_.addWidget(&retry_, 0, Qt::AlignHCenter);
    second_.hide();
    retry_.hide();
    // The failure's line, when it holds focus, is ringed by the block around its text.
    first_.installEventFilter(this);
    connect(&retry_, &QAbstractButton::clicked, this, &StatusBlock::retryClicked);
}

void StatusBlock::setContent(const Content& content) {
    if (content == content_)
        return;
    // Leaving a failure: focus on Retry would otherwise move on to the close control as Retry
    // hides, where Space closes the window. It goes back to the window.
    if (!content.failure) {
        if (QWidget* focus = window()->focusWidget(); focus == &first_ || focus == &retry_) {
            window()->setFocus(Qt::OtherFocusReason);
            if (window()->isActiveWindow())
                windowFocused_.start();
        }
    }
    const Content before = content_;
    content_ = content;
    first_.setDirectionFromText(content.failure);
    first_.setText(content.lines.value(0));
    first_.setInk(content.failure ? installerColor(colors::failureInk) : mutedInk_);
    second_.setText(content.lines.value(1));
    second_.setVisible(content.lines.size() > 1);
    retry_.setVisible(content.retry);
    first_.setFocusPolicy(content.failure && !content.retry ? Qt::TabFocus : Qt::NoFocus);
    announceChanges(before);
}

bool StatusBlock::windowBeingRead() const {
    return windowFocused_.isValid() && windowFocused_.elapsed() < windowReadingMs;
}

void StatusBlock::announceChanges(const Content& before) {
    if (content_.failure) {
        // Heard wherever the user is; without Retry the line itself takes focus, and is spoken
        // there instead.
        if (content_.retry && content_.lines.value(0) != before.lines.value(0))
            announcer_.announce(content_.lines.value(0));
        return;
    }
    // Phase lines only to the user of this window.
    if (!window()->isActiveWindow())
        return;
    for (qsizetype i = 0; i < content_.lines.size(); ++i) {
        const QString& line = content_.lines[i];
        if (line.isEmpty() || line == before.lines.value(i))
            continue;
        if (i == 1 && content_.runningFigure)
            continue;
        // The window's description is the first line, read with the window as it gets focus.
        if (i == 0 && windowBeingRead())
            continue;
        announcer_.announce(line);
    }
}

void StatusBlock::setMutedInk(const QColor& ink) {
    mutedInk_ = ink;
    second_.setInk(ink);
    if (!content_.failure)
        first_.setInk(ink);
}

QString StatusBlock::failureSentence() const {
    return content_.failure ? content_.lines.value(0) : QString();
}

QWidget* StatusBlock::failureFocus() {
    if (!content_.failure)
        return nullptr;
    return content_.retry ? static_cast<QWidget*>(&retry_) : &first_;
}

QList<QWidget*> StatusBlock::visibleItems() {
    QList<QWidget*> items;
    for (QWidget* item : std::initializer_list<QWidget*>{&first_, &second_, &retry_}) {
        if (!item->isHidden())
            items.append(item);
    }
    return items;
}

bool StatusBlock::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &first_ &&
        (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
        update();
    return QWidget::eventFilter(watched, event);
}

void StatusBlock::paintEvent(QPaintEvent*) {
    // Wherever focus came from (Tab, or the failure moving it there), it is shown.
    if (!first_.hasFocus())
        return;
    QPainter painter(this);
    // Around the text itself, inside the block (whose edges are the lines' edges), on whole
    // points.
    QRectF lines = first_.geometry();
    if (!second_.isHidden())
        lines = lines.united(second_.geometry());
    qreal textWidth = 0;
    for (const QString& line : content_.lines)
        textWidth = std::max(textWidth, StatusLine::advance(line, this));
    const qreal half = std::ceil(std::min(textWidth, lines.width()) / 2) + 4;
    const qreal centre = std::round(lines.center().x());
    paintFocusRing(
        painter,
        QRectF(QPointF(centre - half, lines.top()), QPointF(centre + half, lines.bottom() + 1)),
        palette().color(QPalette::Link), 4);
}

} // namespace quorvane
