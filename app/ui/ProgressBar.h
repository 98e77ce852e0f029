#pragma once

#include <functional>
#include <optional>

#include <QString>
#include <QTimer>
#include <QWidget>

#include "InstallerPhase.h"

namespace quorvane {

// The thin capsule under the icon: the download's fill, a sliding segment while the installer is
// busy without a measurable amount, or only the empty track after a failure.
class ProgressBar : public QWidget {
    Q_OBJECT

public:
    // Seconds since 1 January 2001 00:00:00 UTC. The segment's position depends only on this
    // clock, so the sweep carries on seamlessly from one busy phase to the next.
    using Clock = std::function<double()>;

    static constexpr int barWidth = 240;
    static constexpr int barHeight = 4;
    static constexpr int segmentWidth = 84;
    static constexpr double cycleSeconds = 1.2;
    // Just over 1/30 s, with a precise timer that never fires early: at most 30 frames a second.
    static constexpr int frameIntervalMs = 34;

    enum class Mode { fill, segment, track };

    explicit ProgressBar(QWidget* parent = nullptr);

    void setState(InstallerPhase::Kind phase, double progress);
    void setReduceMotion(bool on);
    void setClock(Clock clock);

    static double systemClock();
    // Left edge of the segment for the clock reading `t`.
    static double segmentOffset(double t, bool reduceMotion);

    Mode mode() const noexcept;
    // Whole percent of the download, only while downloading.
    std::optional<long long> percent() const;
    // "42%" while downloading; empty otherwise.
    QString accessibleValue() const;
    // True while the segment is being moved by the frame timer.
    bool isAnimating() const { return frameTimer_.isActive(); }
    int frameInterval() const { return frameTimer_.interval(); }

    QSize sizeHint() const override { return {barWidth, barHeight}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateTimer();

    InstallerPhase::Kind phase_ = InstallerPhase::Kind::ready;
    double progress_ = 0;
    bool reduceMotion_ = false;
    Clock clock_ = &ProgressBar::systemClock;
    QTimer frameTimer_;
};

} // namespace quorvane
