#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <QImage>
#include <QPoint>
#include <QRect>

namespace quorvane::test {

// Reads what the real installer's window says from a capture of it. The installer has no other
// outlet, so every failure sentence is rendered here with the real view code (offscreen, the
// same manifest) and the capture's status block is matched against those renderings.
class WindowReader {
public:
    explicit WindowReader(const std::filesystem::path& resources);

    // The failure sentence the capture shows, or none (still working, or not a failure).
    std::optional<std::string> failureSentence(const QImage& capture) const;

    // Where the Retry link and the close control lie, in window coordinates.
    QPoint retryPoint() const { return retry_; }
    // The Retry link under `sentence`, which moves with the sentence's lines.
    QPoint retryPoint(const std::string& sentence) const;
    QPoint closePoint() const { return close_; }
    QSize windowSize() const { return windowSize_; }
    // The whole window, rendered offscreen, as it shows `sentence`.
    QImage rendering(const std::string& sentence) const;

private:
    struct Candidate {
        std::string sentence;
        QRect rect; // the status block's place, which depends on its lines
        QImage status;
        QPoint retry;
        QImage whole;
    };
    std::vector<Candidate> candidates_;
    QPoint retry_;
    QPoint close_;
    QSize windowSize_;
};

// A capture of the X window `id` on `display` (ImageMagick's import).
QImage captureWindow(const std::string& display, const std::string& id,
                     const std::filesystem::path& scratch);

} // namespace quorvane::test
