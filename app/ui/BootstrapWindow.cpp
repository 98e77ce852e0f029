#include "BootstrapWindow.h"

#include <QCloseEvent>

#include <quorvane/BuildConfig.h>

#include "InstallerAccessibility.h"
#include "InstallerColors.h"

namespace quorvane {

BootstrapWindow::BootstrapWindow(std::shared_ptr<BootstrapModel> model)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), layout_(this),
      view_(std::move(model)), closeShortcut_(QKeySequence(Qt::CTRL | Qt::Key_W), this),
      quitShortcut_(QKeySequence(Qt::CTRL | Qt::Key_Q), this) {
    installAccessibleFactory();
    //: The window's title, for the taskbar, the window switcher and screen readers; it is not
    //: drawn. %1 is the product's name. Keep it short: about 30 characters.
    setWindowTitle(tr("Install %1")
                       .arg(QString::fromUtf8(config::displayName.data(),
                                              qsizetype(config::displayName.size()))));
    // Its own palette, so that neither a dark desktop theme nor a later theme change reaches it.
    setPalette(installerPalette());
    setAutoFillBackground(true);
    layout_.setContentsMargins(0, 0, 0, 0);
    layout_.setSpacing(0);
    layout_.addWidget(&titlebar_);
    layout_.addWidget(&view_);
    setFixedSize(BootstrapView::contentWidth,
                 InstallerTitlebar::stripHeight + BootstrapView::contentHeight);

    // The window itself holds the focus until a failure takes it, so that activating the
    // window neither hands it to the close control (where Space would close the window) nor
    // has a screen reader announce that control first.
    setFocus();

    connect(&titlebar_, &InstallerTitlebar::closeRequested, this, &QWidget::close);
    connect(&closeShortcut_, &QShortcut::activated, this, &QWidget::close);
    connect(&quitShortcut_, &QShortcut::activated, this, &QWidget::close);
}

void BootstrapWindow::setHighContrast(bool on) {
    view_.setHighContrast(on);
    titlebar_.closeButton().setInk(mutedInk(on));
}

void BootstrapWindow::closeEvent(QCloseEvent* event) {
    view_.windowClosed();
    event->accept();
}

} // namespace quorvane
