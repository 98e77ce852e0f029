#pragma once

#include <memory>

#include <QShortcut>
#include <QVBoxLayout>
#include <QWidget>

#include "BootstrapView.h"
#include "InstallerTitlebar.h"

namespace quorvane {

// The installer's only window: frameless and fixed in size, the title strip over the view.
// Closing it, from the strip, Ctrl+W or Ctrl+Q, cancels the work and ends the program. Tab
// moves between the close control and whatever the status block offers after a failure.
class BootstrapWindow : public QWidget {
    Q_OBJECT

public:
    explicit BootstrapWindow(std::shared_ptr<BootstrapModel> model = BootstrapModel::create());

    BootstrapView& view() noexcept { return view_; }
    InstallerTitlebar& titlebar() noexcept { return titlebar_; }
    // The desktop's high-contrast setting: the muted inks darken while on.
    void setHighContrast(bool on);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QVBoxLayout layout_;
    InstallerTitlebar titlebar_;
    BootstrapView view_;
    QShortcut closeShortcut_;
    QShortcut quitShortcut_;
};

} // namespace quorvane
