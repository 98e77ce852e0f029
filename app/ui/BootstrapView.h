#pragma once

#include <memory>
#include <optional>

#include <QImage>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "BootstrapModel.h"
#include "InstallerIcon.h"
#include "ProgressBar.h"
#include "StatusBlock.h"

namespace quorvane {

// The installer window's content: title, icon, progress bar and status block over the waves.
// Owns the model for its whole life, renders every change the model announces, starts the model
// when first shown in `ready`, and cancels the work when the window closes.
class BootstrapView : public QWidget {
    Q_OBJECT

public:
    static constexpr int contentWidth = 500;
    static constexpr int contentHeight = 308;
    static constexpr int iconSide = 112;
    static constexpr int spaceAboveTitle = 26;
    static constexpr int spaceAboveIcon = 22;
    static constexpr int spaceAboveBar = 23;
    static constexpr int spaceAboveStatus = 14;
    // Room the title's box takes from the space above and below it, for marks that reach past
    // the face's own line (accents on capitals, vowel signs of Indic scripts, fallback faces).
    static constexpr int titleOverhang = 8;

    explicit BootstrapView(std::shared_ptr<BootstrapModel> model = BootstrapModel::create(),
                           QWidget* parent = nullptr);
    ~BootstrapView() override;

    BootstrapModel& model() const noexcept { return *model_; }
    ProgressBar& progressBar() noexcept { return progressBar_; }
    StatusBlock& statusBlock() noexcept { return status_; }
    QLabel& title() noexcept { return title_; }
    // Where the icon is drawn, in the view's coordinates.
    QRect iconRect() const;

    // The desktop's reduce-motion setting; stops the progress bar's sweep while on.
    void setReduceMotion(bool on);
    bool reduceMotion() const noexcept { return reduceMotion_; }
    // The desktop's high-contrast setting; darkens the muted status ink while on.
    void setHighContrast(bool on);
    bool highContrast() const noexcept { return highContrast_; }

    // Cancels the running installation and removes the attempt's staging files. Called when
    // the window closes; safe to call more than once.
    void windowClosed();

    // The status lines for the model's current state.
    static StatusBlock::Content statusContent(const BootstrapModel& model);
    // What assistive technology reads for the window: the phase, and the percent while
    // downloading; empty after a failure.
    QString windowDescription() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void fitTitle();
    void render();
    void announce();
    void describeWindow();
    const ShadowedIcon& icon();

    std::shared_ptr<BootstrapModel> model_;
    bool reduceMotion_ = false;
    bool highContrast_ = false;
    bool shownOnce_ = false;

    QVBoxLayout layout_;
    QLabel title_;
    ProgressBar progressBar_;
    StatusBlock status_;

    // The still layer under the children (background, waves, icon), drawn once per size.
    QImage backdrop_;
    std::optional<ShadowedIcon> icon_;

    // What assistive technology last heard, so that it hears each change once: the phase (a
    // failure moves focus) and the bar's whole percent.
    std::optional<InstallerPhase> announcedPhase_;
    std::optional<long long> announcedPercent_;
};

} // namespace quorvane
