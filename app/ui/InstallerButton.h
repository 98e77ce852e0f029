#pragma once

#include <QAbstractButton>

namespace quorvane {

// The base of the installer's drawn buttons: repaints on hover, and tells whether focus came
// from the keyboard or was moved there by the installer, since a focus ring after a click or a
// mere window activation would look like a fault.
class InstallerButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit InstallerButton(QWidget* parent = nullptr);

protected:
    bool showsFocusRing() const noexcept { return keyboardFocus_ && hasFocus(); }
    bool event(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    bool keyboardFocus_ = false;
};

} // namespace quorvane
