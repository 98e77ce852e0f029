#pragma once

#include <memory>

#include <QElapsedTimer>
#include <QStringList>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QWidget>

#include "Announcer.h"
#include "InstallerButton.h"

namespace quorvane {

// One status text: 12.5 px, wrapped at the line's width and centred line by line.
class StatusLine : public QWidget {
    Q_OBJECT

public:
    explicit StatusLine(QWidget* parent = nullptr);

    // The width of `text` and the distance between lines as they are drawn, in points.
    static qreal advance(const QString& text, const QWidget* widget);
    static qreal lineSpacing(const QWidget* widget);
    // How many lines the text wraps into at `width`.
    int lineCount(int width) const;
    // The text laid out as it is drawn at `width`: at the layout size, drawn under statusScale.
    std::unique_ptr<QTextLayout> textLayout(int width) const;
    // How far below the line's top that layout is drawn, in points: room for marks that reach
    // above the font's line. Such marks, and those below it, make the line taller.
    qreal textTop(int width) const;

    void setText(const QString& text);
    const QString& text() const noexcept { return text_; }
    // Lays the text out in the direction of its own script (a failure sentence, which stays in
    // English) rather than the window's.
    void setDirectionFromText(bool on);
    // The direction the text is laid out in.
    Qt::LayoutDirection textDirection() const;
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
    bool directionFromText_ = false;
};

// A button drawn as a link: the status font in the palette's link colour, underlined under the
// pointer, with a focus ring for keyboard users. Space and Enter press it.
class LinkButton : public InstallerButton {
    Q_OBJECT

public:
    explicit LinkButton(const QString& text, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

// The lines under the progress bar, and Retry after a failure. One accessible element (a status
// bar) holding its visible lines, found under the object name "installer-status".
//
// Screen readers hear each new line once, as it appears, without focus moving: any line that
// changes is announced, unless it is a running figure (the megabytes), the window is not the
// user's, or the reader is already reading it with the window (which gets focus back from Retry
// and is read with its description, the first line, a moment later; a window that merely comes
// to the front is read by its name). A failure is announced whatever the window, and moves focus
// to Retry, which repeats nothing; without Retry it is not announced: the failure's line takes
// focus (and then also Tab, with a focus ring), and is spoken there. The block is a status bar, so
// that readers read it on demand.
class StatusBlock : public QWidget {
    Q_OBJECT

public:
    static constexpr int sideMargin = 20;
    static constexpr int spacing = 3;
    // How long after focus goes back to the window the reader is taken to be reading it.
    static constexpr int windowReadingMs = 1500;

    struct Content {
        QStringList lines; // one or two
        bool failure = false;
        bool retry = false;
        // The second line is a running figure that changes many times a second: read on
        // demand, never announced.
        bool runningFigure = false;
        friend bool operator==(const Content&, const Content&) = default;
    };

    explicit StatusBlock(QWidget* parent = nullptr);

    void setContent(const Content& content);
    // The ink of the lines that are not a failure.
    void setMutedInk(const QColor& ink);
    const Content& content() const noexcept { return content_; }
    StatusLine& firstLine() noexcept { return first_; }
    LinkButton& retryButton() noexcept { return retry_; }
    // What assistive technology sees, top to bottom.
    QList<QWidget*> visibleItems();
    // Where focus goes when a failure appears: Retry when shown, else the failure's line; null
    // while there is no failure.
    QWidget* failureFocus();
    // The failure sentence, or empty.
    QString failureSentence() const;

signals:
    void retryClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void announceChanges(const Content& before);
    bool windowBeingRead() const;

    QVBoxLayout layout_;
    StatusLine first_;
    StatusLine second_;
    LinkButton retry_;
    Content content_;
    QColor mutedInk_;
    Announcer announcer_{this};
    QElapsedTimer windowFocused_; // since focus went back to the window from a failure
};

} // namespace quorvane
