#pragma once

#include <optional>

#include <QPoint>
#include <QWidget>

#include "InstallerButton.h"

namespace quorvane {

// The close control of the title strip: a small cross that shows a disc under the pointer.
class CloseButton : public InstallerButton {
    Q_OBJECT

public:
    static constexpr int side = 20;
    explicit CloseButton(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {side, side}; }
    void setInk(const QColor& ink);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor ink_;
};

// The window's own title strip: the background colour, no title text, a close control, and
// dragging it moves the window.
class InstallerTitlebar : public QWidget {
    Q_OBJECT

public:
    static constexpr int stripHeight = 28;

    explicit InstallerTitlebar(QWidget* parent = nullptr);
    CloseButton& closeButton() noexcept { return close_; }

signals:
    void closeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    CloseButton close_;
    // Set while the strip moves the window itself, where the window system cannot.
    std::optional<QPoint> grabOffset_;
};

} // namespace quorvane
