// The installer as a native client of a Wayland compositor (headless weston): it installs and
// opens the app, and its window, captured through the compositor, is the offscreen rendering.

#include <chrono>
#include <cstdlib>
#include <thread>

#include "E2eTest.h"
#include "ImageDifference.h"
#include "WaylandCompositor.h"

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace {

class WaylandE2e : public E2e {
protected:
    void SetUp() override {
        E2e::SetUp();
        if (IsSkipped())
            return;
        compositor = std::make_unique<WaylandCompositor>();
        if (!compositor->unavailable().empty())
            GTEST_SKIP() << compositor->unavailable();
    }

    // The installer's window as the compositor shows it, once it is up and two screenshots in a
    // row agree on it (or the last one seen, when `settled` is false).
    QImage windowShot(InstallerRun& run, QSize size, bool settled) {
        QImage previous;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline && run.running()) {
            const QImage screen = compositor->screenshot();
            const QRect area = windowArea(screen, WaylandCompositor::background());
            if (area.size() == size) {
                const QImage window = screen.copy(area);
                if (!settled || window == previous)
                    return window;
                previous = window;
            }
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }

    std::unique_ptr<WaylandCompositor> compositor;
};

} // namespace

TEST_F(WaylandE2e, FirstInstallationOpensTheAppWithTheWindowOnTheCompositor) {
    E2eWorld world;
    world.display = compositor->clientEnvironment();
    // The client's side of the protocol, to see what it asked the compositor for.
    world.display["WAYLAND_DEBUG"] = "client";
    // The download waits for a second request, so the window is seen while it works.
    world.server.route("/tail", {.bodyFile = world.kit.tail, .holdUntilRequests = 2});
    auto run = world.launch();

    // No X server is offered: a window on the compositor's output is a native Wayland one, and
    // one of exactly the rendering's size has no decoration around it.
    const QImage window = windowShot(*run, world.reader().windowSize(), false);
    ASSERT_FALSE(window.isNull()) << "no window of the installer's size on the compositor";
    const std::string protocol = readFile(run->log());
    EXPECT_NE(protocol.find("xdg_toplevel@"), std::string::npos) << "not an xdg-shell toplevel";
    EXPECT_NE(protocol.find("set_title(\"Install Quorvane Pro\")"), std::string::npos);
    EXPECT_FALSE(world.reader().failureSentence(window)) << "the installer shows a failure";

    ChildProcess release({"/usr/bin/curl", "-sf", "--cacert",
                          (authorityDirectory() / "root.pem").string(), "-o", "/dev/null",
                          world.server.url("/tail")});
    EXPECT_EQ(release.wait(60s), 0);
    expectOpenedInstalledApp(*run, run->settleByExit(), world);
    EXPECT_EQ(world.describeInstalled(), "2.4.1 (2410.1), valid");
    EXPECT_EQ(world.leftovers(), std::vector<std::string>{});
}

TEST_F(WaylandE2e, TheCapturedWindowMatchesTheOffscreenRendering) {
    E2eWorld world;
    world.display = compositor->clientEnvironment();
    world.server.route("/tail", {.status = 404, .body = "not here"});
    auto run = world.launch();

    const QImage window = windowShot(*run, world.reader().windowSize(), true);
    ASSERT_FALSE(window.isNull()) << "no settled window of the installer's size on the compositor";
    const std::string sentence = sentenceOf(BootstrapFailure::download);
    EXPECT_EQ(world.reader().failureSentence(window).value_or("(none)"), sentence);
    const ImageDifference difference = compareImages(window, world.reader().rendering(sentence));
    EXPECT_TRUE(sameWindow(difference)) << "mean channel: " << difference.meanChannel
                                        << ", pixels apart: " << difference.pixelsApart;
    EXPECT_TRUE(run->running()) << "a failure keeps the window open";
    EXPECT_EQ(world.describeInstalled(), "none");
}
