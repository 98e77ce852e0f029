#include "BootstrapView.h"

#include <QAccessible>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>

#include "InstallerColors.h"
#include "InstallerFonts.h"
#include "InstallerWaves.h"
#include "Translations.h"

namespace quorvane {
namespace {

QString displayName() {
    return QString::fromUtf8(config::displayName.data(), qsizetype(config::displayName.size()));
}

} // namespace

BootstrapView::BootstrapView(std::shared_ptr<BootstrapModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), layout_(this) {
    setFixedSize(contentWidth, contentHeight);

    //: The large title at the top of the window. %1 is the product's name. One line of 460 px
    //: at 25 px semibold; a longer one is drawn smaller, down to 18 px: best under 32
    //: characters of Latin script.
    title_.setText(tr("Installing %1").arg(displayName()));
    fitTitle();
    QPalette ink = title_.palette();
    ink.setColor(QPalette::WindowText, installerColor(colors::titleInk));
    title_.setPalette(ink);

    layout_.setContentsMargins(0, 0, 0, 0);
    layout_.setSpacing(0);
    layout_.addSpacing(spaceAboveTitle - titleOverhang);
    layout_.addWidget(&title_, 0, Qt::AlignHCenter);
    // The icon is painted into this gap with the rest of the still backdrop (see paintEvent),
    // which also keeps it out of the accessibility tree.
    layout_.addSpacing(spaceAboveIcon - titleOverhang + iconSide);
    layout_.addSpacing(spaceAboveBar);
    layout_.addWidget(&progressBar_, 0, Qt::AlignHCenter);
    layout_.addSpacing(spaceAboveStatus);
    layout_.addWidget(&status_);
    layout_.addStretch(1);

    connect(model_.get(), &BootstrapModel::phaseChanged, this, &BootstrapView::render);
    connect(model_.get(), &BootstrapModel::receivedChanged, this, &BootstrapView::render);
    connect(&status_, &StatusBlock::retryClicked, this, [this] { model_->start(); });
    render();
}

BootstrapView::~BootstrapView() {
    windowClosed();
}

void BootstrapView::fitTitle() {
    // The column below keeps its place whatever the language: the title's box is that of one
    // line at full size, and a translation that does not fit it is drawn smaller.
    const int width = contentWidth - 2 * StatusBlock::sideMargin;
    const QFont full = fonts::title();
    // The face's own line, whatever faces the language's characters fall back on.
    const int lineHeight = QFontMetrics(full).height();
    const QFont fitted = fonts::fitted(full, title_.text(), width, fonts::minimumTitlePixels);
    title_.setFont(fitted);
    title_.setAlignment(Qt::AlignCenter);
    // Too long even at the smallest size: it wraps rather than lose words.
    const bool wraps = QFontMetricsF(fitted).horizontalAdvance(title_.text()) > width;
    title_.setWordWrap(wraps);
    title_.setFixedWidth(width);
    title_.setFixedHeight((wraps ? title_.heightForWidth(width) : lineHeight) + 2 * titleOverhang);
}

QRect BootstrapView::iconRect() const {
    const int top = title_.geometry().bottom() + 1 - titleOverhang + spaceAboveIcon;
    return {(width() - iconSide) / 2, top, iconSide, iconSide};
}

void BootstrapView::setReduceMotion(bool on) {
    reduceMotion_ = on;
    progressBar_.setReduceMotion(on);
}

void BootstrapView::setHighContrast(bool on) {
    highContrast_ = on;
    status_.setMutedInk(mutedInk(on));
}

void BootstrapView::windowClosed() {
    model_->operation().cancel();
    model_->cleanStaging();
}

StatusBlock::Content BootstrapView::statusContent(const BootstrapModel& model) {
    const auto& manifest = model.manifest();
    switch (model.phase().kind()) {
    case InstallerPhase::Kind::ready:
    case InstallerPhase::Kind::downloading: {
        const QString version = manifest ? QString::fromStdString(manifest->version) : QString();
        const auto total = manifest ? static_cast<std::int64_t>(manifest->tailBytes()) : 0;
        //: First status line while the package downloads. %1 is the product's name, %2 its
        //: version (2.4.1). Ends with the ellipsis character. At most two lines of 460 px at
        //: 12.5 px, best one: about 70 characters of Latin script.
        const QString downloading = tr("Downloading %1 %2…").arg(displayName(), version);
        if (model.phase().reconnecting())
            //: Second status line while a dropped connection is resumed, in place of the
            //: megabyte figures. Ends with the ellipsis character. One line of 460 px.
            return {{downloading, tr("Reconnecting…")}};
        if (model.phase().waitingForNetwork())
            //: Second status line when no data has arrived for a few seconds while the
            //: connection is still open, in place of the megabyte figures; they return when data
            //: flows again. Ends with the ellipsis character. One line of 460 px.
            return {{downloading, tr("Waiting for the network…")}};
        //: Second status line while downloading: the megabytes received (%1) of the total
        //: (%2), whole numbers in the language's own digits. The language's unit and word
        //: order. One line of 460 px at 12.5 px.
        return {.lines = {downloading,
                          tr("%1 MB of %2 MB")
                              .arg(l10n::number(BootstrapModel::megabytes(model.received())),
                                   l10n::number(BootstrapModel::megabytes(total)))},
                .runningFigure = true};
    }
    case InstallerPhase::Kind::checking:
        //: Status line while the installer looks for a copy of the app already installed.
        //: Ends with the ellipsis character. At most two lines of 460 px at 12.5 px.
        return {{tr("Checking the installed app…")}};
    case InstallerPhase::Kind::verifying:
        //: Status line while the downloaded installer package is checked (size, checksum,
        //: signature). Ends with the ellipsis character. At most two lines of 460 px.
        return {{tr("Verifying the installer…")}};
    case InstallerPhase::Kind::installing:
        //: Status line while the app is put in place. %1 is the product's name; Applications
        //: is where the desktop lists its applications: the word the desktop uses for it.
        //: Ends with the ellipsis character. At most two lines of 460 px at 12.5 px.
        return {{tr("Adding %1 to Applications…").arg(displayName())}};
    case InstallerPhase::Kind::failed:
        break;
    }
    // Shown exactly as the phase carries it.
    return {.lines = {QString::fromStdString(model.phase().message())},
            .failure = true,
            .retry = manifest.has_value()};
}

void BootstrapView::render() {
    progressBar_.setState(model_->phase().kind(), model_->progress());
    status_.setContent(statusContent(*model_));
    announce();
}

void BootstrapView::announce() {
    const InstallerPhase& phase = model_->phase();
    const auto percent = progressBar_.percent();
    if (announcedPhase_ != phase) {
        announcedPhase_ = phase;
        announcedPercent_.reset();
        // A failure takes focus, so that Enter or Space retries at once (or, with no Retry,
        // so that a screen reader speaks the sentence where focus lands).
        if (QWidget* target = status_.failureFocus())
            target->setFocus(Qt::OtherFocusReason);
    }
    // Whole percents only: a fast download must not flood the screen reader.
    if (percent && percent != announcedPercent_) {
        announcedPercent_ = percent;
        QAccessibleValueChangeEvent event(&progressBar_, QVariant(*percent));
        QAccessible::updateAccessibility(&event);
    }
    describeWindow();
}

QString BootstrapView::windowDescription() const {
    const StatusBlock::Content& content = status_.content();
    // A failure is spoken where it moves focus, and read there again; the window repeats none.
    if (content.failure)
        return {};
    // The phase, the first line (the second counts megabytes, many times a second), and while
    // downloading the whole percent: what a screen reader's "where am I" reads of the window,
    // which holds focus during the work. Readers speak no change of it (Qt's bridge sends the
    // change without the text), but read it afresh after one.
    QString text = content.lines.value(0);
    if (const auto percent = progressBar_.percent())
        //: After the first status line in what screen readers read for the window during the
        //: download: the whole percent downloaded (%1, in the language's digits), as the
        //: language writes a percentage. Never drawn.
        text += QLatin1Char(' ') + tr("%1% downloaded").arg(l10n::number(*percent));
    return text;
}

void BootstrapView::describeWindow() {
    const QString text = windowDescription();
    if (QWidget* top = window(); top != this && top->accessibleDescription() != text)
        top->setAccessibleDescription(text);
}

bool BootstrapView::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::ParentChange)
        describeWindow();
    return handled;
}

const ShadowedIcon& BootstrapView::icon() {
    const qreal ratio = devicePixelRatioF();
    if (!icon_ || icon_->image.devicePixelRatio() != ratio) {
        // The application's icon as the platform has it; ours when it has none.
        QIcon source = QGuiApplication::windowIcon();
        if (source.isNull())
            source = installerIcon();
        icon_ = renderShadowedIcon(source, iconSide, ratio);
    }
    return *icon_;
}

void BootstrapView::paintEvent(QPaintEvent* event) {
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (backdrop_.size() != pixels || backdrop_.devicePixelRatio() != ratio) {
        backdrop_ = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        backdrop_.setDevicePixelRatio(ratio);
        backdrop_.fill(installerColor(colors::background));
        QPainter painter(&backdrop_);
        InstallerWaves::paint(painter, QSizeF(size()));
        const ShadowedIcon& shadowed = icon();
        if (!shadowed.image.isNull())
            painter.drawImage(QPointF(iconRect().topLeft()) - shadowed.iconOrigin, shadowed.image);
    }
    QPainter painter(this);
    const QRect dirty = event->rect();
    painter.drawImage(dirty, backdrop_,
                      QRectF(QPointF(dirty.topLeft()) * ratio, QSizeF(dirty.size()) * ratio));
}

void BootstrapView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_)
        return;
    shownOnce_ = true;
    // A failure from before the window was up (a broken installer, say) has the focus too.
    if (QWidget* target = status_.failureFocus())
        target->setFocus(Qt::OtherFocusReason);
    // In a later turn of the loop, once the window is up; it does not wait for the run.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (model_->phase().kind() == InstallerPhase::Kind::ready)
                model_->start();
        },
        Qt::QueuedConnection);
}

void BootstrapView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    backdrop_ = QImage();
}

} // namespace quorvane
