#include "WindowReader.h"

#include <algorithm>
#include <set>
#include <stdexcept>

#include "BootstrapModel.h"
#include "BootstrapWindow.h"
#include "ChildProcess.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane::test {

namespace {

// Pixels whose colour differs by more than this on any channel count as different; anti-aliased
// edges may differ a little between the X server and the offscreen rendering.
constexpr int inkTolerance = 48;

std::int64_t differingPixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return std::numeric_limits<std::int64_t>::max();
    std::int64_t count = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) > inkTolerance ||
                std::abs(qGreen(p) - qGreen(q)) > inkTolerance ||
                std::abs(qBlue(p) - qBlue(q)) > inkTolerance)
                ++count;
        }
    return count;
}

} // namespace

WindowReader::WindowReader(const std::filesystem::path& resources) {
    std::set<std::string> sentences;
    for (int c = 0; c < BootstrapFailure::caseCount; ++c)
        sentences.insert(BootstrapFailure(static_cast<BootstrapFailure::Case>(c)).message());

    for (const auto& sentence : sentences) {
        BootstrapModel::Environment environment;
        environment.resources = resources;
        environment.osMajorVersion = [] { return 6; };
        environment.terminate = [] {};
        auto model = BootstrapModel::create(environment);
        model->setPhase(InstallerPhase::failed(sentence));
        BootstrapWindow window(model);
        window.show();
        const QImage whole = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
        StatusBlock& status = window.view().statusBlock();
        const QRect rect(status.mapTo(&window, QPoint(0, 0)), status.size());
        LinkButton& retry = status.retryButton();
        retry_ = retry.mapTo(&window, retry.rect().center());
        CloseButton& close = window.titlebar().closeButton();
        close_ = close.mapTo(&window, close.rect().center());
        windowSize_ = window.size();
        candidates_.push_back({sentence, rect, whole.copy(rect), retry_, whole});
        window.hide();
    }
}

QPoint WindowReader::retryPoint(const std::string& sentence) const {
    for (const auto& candidate : candidates_)
        if (candidate.sentence == sentence)
            return candidate.retry;
    throw std::invalid_argument("not a failure sentence: " + sentence);
}

QImage WindowReader::rendering(const std::string& sentence) const {
    for (const auto& candidate : candidates_)
        if (candidate.sentence == sentence)
            return candidate.whole;
    throw std::invalid_argument("not a failure sentence: " + sentence);
}

std::optional<std::string> WindowReader::failureSentence(const QImage& capture) const {
    if (capture.size() != windowSize_)
        return std::nullopt;
    const QImage pixels = capture.convertToFormat(QImage::Format_RGB32);
    const Candidate* best = nullptr;
    double bestScore = 1;
    for (const auto& candidate : candidates_) {
        const auto area = double(candidate.rect.width()) * candidate.rect.height();
        const double score =
            double(differingPixels(pixels.copy(candidate.rect), candidate.status)) / area;
        if (score < bestScore) {
            bestScore = score;
            best = &candidate;
        }
    }
    // Different sentences differ in thousands of pixels; a match is all but exact.
    if (!best || bestScore > 0.005)
        return std::nullopt;
    return best->sentence;
}

QImage captureWindow(const std::string& display, const std::string& id,
                     const std::filesystem::path& scratch) {
    const auto file = scratch / "capture.png";
    std::filesystem::remove(file);
    // import waits for ever on a window that went away meanwhile.
    ChildProcess import({"/usr/bin/import", "-window", id, "png:" + file.string()},
                        {{"DISPLAY", display}});
    if (import.wait(std::chrono::seconds(5)) != 0)
        return {};
    return QImage(QString::fromStdString(file.string()));
}

} // namespace quorvane::test
