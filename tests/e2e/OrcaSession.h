#pragma once

// A blind user's desktop: Debian's Orca speaking through speech-dispatcher and espeak-ng, under a
// window manager (openbox), in a private session (an AtspiSession: session bus, AT-SPI bus and a
// pyatspi client that sees what the installer sends). Orca runs in a PID and mount namespace of
// its own (it refuses to start beside another copy of itself), with a fresh home, preferences,
// configuration and runtime folder, so that nothing of the machine's own session or system
// services is reached. What it said is read from its debug log once it has ended.

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "AtspiSession.h"
#include "ChildProcess.h"
#include "E2eWorld.h"
#include "TempDir.h"

namespace quorvane::test {

// Why the screen reader tests cannot run here, or empty when they can.
std::string orcaUnavailable();

// One text Orca sent to speech, with the wall clock (seconds since the epoch) of its log line.
struct Utterance {
    double time = 0;
    std::string text;
};

// Reads the utterances of an Orca debug log; the log's times of day are UTC on the day of
// `reference` (seconds since the epoch), or the day before when that is nearer.
std::vector<Utterance> utterancesOf(const std::string& log, double reference);

class OrcaSession {
public:
    explicit OrcaSession(const std::string& display);
    ~OrcaSession();
    OrcaSession(const OrcaSession&) = delete;
    OrcaSession& operator=(const OrcaSession&) = delete;

    AtspiSession& atspi() { return atspi_; }

    // Starts the window manager and Orca, and waits until Orca listens to applications and to
    // the keyboard; why not, if it never did.
    std::string start();
    // Presses and releases a key (an X keysym name, "Tab", "KP_Enter") where the focus is.
    bool key(const std::string& keysym);
    // Asks Orca what the focus is (its Where Am I).
    bool whereAmI();
    // Waits until neither Orca nor the speech server has done anything for `quiet`.
    bool awaitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit);
    // Stops Orca as its user would (it says goodbye and writes out its log) and returns what it
    // said before that, in order. Judge only after a quiet moment (awaitQuiet).
    std::vector<Utterance> stop();

    const std::filesystem::path& folder() const { return dir_.path(); }
    std::filesystem::path debugLog() const { return dir_ / "orca-debug.log"; }

private:
    bool registered();
    bool listening();
    std::filesystem::path speechLog() const;

    AtspiSession atspi_;
    TempDir dir_;
    std::string display_;
    std::unique_ptr<ChildProcess> windowManager_;
    std::unique_ptr<ChildProcess> speechServer_;
    std::set<std::string> windows_;
    std::unique_ptr<InstallerRun> orca_;
};

} // namespace quorvane::test
