#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <QImage>
#include <QRect>

#include "ChildProcess.h"
#include "TempDir.h"

namespace quorvane::test {

// A headless weston (pixman renderer, screenshots allowed) on a socket of its own in a fresh
// 0700 runtime folder, stopped when the object goes away and killed with the test process.
class WaylandCompositor {
public:
    WaylandCompositor();
    ~WaylandCompositor();
    WaylandCompositor(const WaylandCompositor&) = delete;
    WaylandCompositor& operator=(const WaylandCompositor&) = delete;

    // Why no compositor could be had here (a missing program or plugin, or weston not coming
    // up, with its log), or empty when it runs.
    const std::string& unavailable() const noexcept { return unavailable_; }
    // What a native Wayland client of this compositor needs, and nothing of X.
    std::map<std::string, std::string> clientEnvironment() const;
    // The whole output as the compositor shows it (weston-screenshooter); null on failure.
    QImage screenshot() const;

    // The output's colour where no window is.
    static QRgb background();

private:
    TempDir runtime_;
    std::string socket_;
    std::unique_ptr<ChildProcess> process_;
    std::string unavailable_;
};

} // namespace quorvane::test
