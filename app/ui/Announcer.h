#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <utility>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

namespace quorvane {

// One line spoken by screen readers without taking focus: an element of the notification role
// named by the line, shown once. It belongs to its host for assistive technology, which does not
// list it among its children (it is never drawn, and the line itself is there to be read).
class Announcement : public QObject {
    Q_OBJECT

public:
    Announcement(QString text, QWidget* host) : text_(std::move(text)), host_(host) {}
    const QString& text() const noexcept { return text_; }
    QWidget* host() const { return host_; }

private:
    QString text_;
    QPointer<QWidget> host_;
};

// Speaks lines through screen readers. Qt 6.4's AT-SPI bridge has no announcement API and no
// live regions; Orca speaks an element of the notification role when it is shown (with no role
// word inside a status bar). Each line is an element of its own, kept while the next few are
// made, so that a reader that gets to it late still reads the text it was shown with, not a
// later one.
class Announcer {
public:
    static constexpr std::size_t kept = 8;

    explicit Announcer(QWidget* host) : host_(host) {}
    void announce(const QString& text);

private:
    QWidget* host_;
    std::deque<std::unique_ptr<Announcement>> recent_;
};

} // namespace quorvane
