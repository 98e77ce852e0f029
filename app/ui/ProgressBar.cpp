#include "ProgressBar.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <QPainter>
#include <QPainterPath>

#include "InstallerAccessibility.h"
#include "InstallerColors.h"

namespace quorvane {
namespace {

// Seconds between the Unix epoch and 1 January 2001 00:00:00 UTC.
constexpr double referenceDateOffset = 978'307'200.0;
// Span the segment travels in one cycle: from wholly left of the track to wholly right of it.
constexpr double sweep = ProgressBar::barWidth + ProgressBar::segmentWidth;

QPainterPath capsule(const QRectF& rect) {
    QPainterPath path;
    const double radius = std::min(rect.width(), rect.height()) / 2;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

} // namespace

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
    installAccessibleFactory();
    setFixedSize(barWidth, barHeight);
    frameTimer_.setTimerType(Qt::PreciseTimer);
    frameTimer_.setInterval(frameIntervalMs);
    connect(&frameTimer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

double ProgressBar::systemClock() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count() - referenceDateOffset;
}

double ProgressBar::segmentOffset(double t, bool reduceMotion) {
    if (reduceMotion)
        return (barWidth - segmentWidth) / 2.0;
    double position = std::fmod(t, cycleSeconds) / cycleSeconds;
    if (position < 0) // a clock before the reference date
        position += 1;
    return position * sweep - segmentWidth;
}

void ProgressBar::setState(InstallerPhase::Kind phase, double progress) {
    if (phase == phase_ && progress == progress_)
        return;
    const bool repaint = phase != phase_ || mode() == Mode::fill;
    phase_ = phase;
    progress_ = progress;
    updateTimer();
    if (repaint)
        update();
}

void ProgressBar::setReduceMotion(bool on) {
    if (on == reduceMotion_)
        return;
    reduceMotion_ = on;
    updateTimer();
    update();
}

void ProgressBar::setClock(Clock clock) {
    clock_ = std::move(clock);
    update();
}

ProgressBar::Mode ProgressBar::mode() const noexcept {
    switch (phase_) {
    case InstallerPhase::Kind::ready:
    case InstallerPhase::Kind::downloading:
        return Mode::fill;
    case InstallerPhase::Kind::checking:
    case InstallerPhase::Kind::verifying:
    case InstallerPhase::Kind::installing:
        return Mode::segment;
    case InstallerPhase::Kind::failed:
        break;
    }
    return Mode::track;
}

std::optional<long long> ProgressBar::percent() const {
    if (phase_ != InstallerPhase::Kind::downloading)
        return std::nullopt;
    return std::llround(progress_ * 100);
}

QString ProgressBar::accessibleValue() const {
    const auto value = percent();
    return value ? QStringLiteral("%1%").arg(QString::number(*value)) : QString();
}

void ProgressBar::updateTimer() {
    const bool moving = mode() == Mode::segment && !reduceMotion_ && isVisible();
    if (moving && !frameTimer_.isActive())
        frameTimer_.start();
    else if (!moving)
        frameTimer_.stop();
}

void ProgressBar::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateTimer();
}

void ProgressBar::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateTimer();
}

void ProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    const QPainterPath track = capsule(QRectF(0, 0, barWidth, barHeight));
    painter.fillPath(track, installerColor(colors::track));

    QRectF top;
    switch (mode()) {
    case Mode::fill:
        top = QRectF(0, 0, progress_ * barWidth, barHeight);
        break;
    case Mode::segment:
        top = QRectF(segmentOffset(clock_(), reduceMotion_), 0, segmentWidth, barHeight);
        break;
    case Mode::track:
        return;
    }
    if (top.width() <= 0)
        return;
    // Intersecting the shapes keeps the ends antialiased where a clip region would be jagged.
    painter.fillPath(track.intersected(capsule(top)), installerColor(colors::gold));
}

} // namespace quorvane
