#pragma once

#include <QStringList>
#include <QVBoxLayout>
#include <QWidget>

#include "InstallerButton.h"

namespace quorvane {

// One status text: 12.5 px, wrapped at the line's width and centred line by line.
class StatusLine : public QWidget {
    Q_OBJECT

public:
    explicit StatusLine(QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const noexcept { return text_; }
    void setInk(const QColor& ink);
    const QColor& ink() const noexcept { return ink_; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QColor ink_;
};

// A button drawn as a link: the status font in the palette's link colour, underlined under the
// pointer, with a focus ring for keyboard users.
class LinkButton : public InstallerButton {
    Q_OBJECT

public:
    explicit LinkButton(const QString& text, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The lines under the progress bar, and Retry after a failure. One accessible element holding
// its visible lines, found under the object name "installer-status".
class StatusBlock : public QWidget {
    Q_OBJECT

public:
    static constexpr int sideMargin = 20;
    static constexpr int spacing = 3;

    struct Content {
        QStringList lines; // one or two
        bool failure = false;
        bool retry = false;
        friend bool operator==(const Content&, const Content&) = default;
    };

    explicit StatusBlock(QWidget* parent = nullptr);

    void setContent(const Content& content);
    const Content& content() const noexcept { return content_; }
    StatusLine& firstLine() noexcept { return first_; }
    LinkButton& retryButton() noexcept { return retry_; }
    // What assistive technology sees, top to bottom.
    QList<QWidget*> visibleItems();

signals:
    void retryClicked();

private:
    QVBoxLayout layout_;
    StatusLine first_;
    StatusLine second_;
    LinkButton retry_;
    Content content_;
};

} // namespace quorvane
