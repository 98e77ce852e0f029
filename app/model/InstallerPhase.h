#pragma once

#include <string>
#include <utility>

namespace quorvane {

// What the installer is doing now. `failed` carries the sentence shown to the user.
class InstallerPhase {
public:
    enum class Kind { failed, ready, checking, downloading, verifying, installing };

    static InstallerPhase failed(std::string message) {
        return InstallerPhase(Kind::failed, std::move(message));
    }
    static InstallerPhase ready() { return InstallerPhase(Kind::ready); }
    static InstallerPhase checking() { return InstallerPhase(Kind::checking); }
    // `reconnecting`: the connection ended early and the download waits to resume.
    static InstallerPhase downloading(bool reconnecting = false) {
        InstallerPhase phase(Kind::downloading);
        phase.reconnecting_ = reconnecting;
        return phase;
    }
    static InstallerPhase verifying() { return InstallerPhase(Kind::verifying); }
    static InstallerPhase installing() { return InstallerPhase(Kind::installing); }

    Kind kind() const noexcept { return kind_; }
    // The failure sentence; empty for every other case.
    const std::string& message() const noexcept { return message_; }
    bool reconnecting() const noexcept { return reconnecting_; }
    // While working, an installation run is in progress and start() does nothing.
    bool isWorking() const noexcept { return kind_ != Kind::failed && kind_ != Kind::ready; }

    friend bool operator==(const InstallerPhase&, const InstallerPhase&) = default;

private:
    explicit InstallerPhase(Kind kind, std::string message = {})
        : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    bool reconnecting_ = false;
};

// The phase in a few words, for the diagnostic log and for tests.
inline std::string describe(const InstallerPhase& phase) {
    switch (phase.kind()) {
    case InstallerPhase::Kind::failed:
        return "failed: " + phase.message();
    case InstallerPhase::Kind::ready:
        return "ready";
    case InstallerPhase::Kind::checking:
        return "checking";
    case InstallerPhase::Kind::downloading:
        return phase.reconnecting() ? "downloading, reconnecting" : "downloading";
    case InstallerPhase::Kind::verifying:
        return "verifying";
    case InstallerPhase::Kind::installing:
        return "installing";
    }
    return "?";
}

} // namespace quorvane
