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
    // How the download's connection stands while downloading.
    enum class Connection {
        flowing,
        waitingForNetwork, // no new byte for a while: the network went silent
        reconnecting,      // the connection ended early and the download waits to resume
    };
    static InstallerPhase downloading(Connection connection = Connection::flowing) {
        InstallerPhase phase(Kind::downloading);
        phase.connection_ = connection;
        return phase;
    }
    static InstallerPhase verifying() { return InstallerPhase(Kind::verifying); }
    static InstallerPhase installing() { return InstallerPhase(Kind::installing); }

    Kind kind() const noexcept { return kind_; }
    // The failure sentence; empty for every other case.
    const std::string& message() const noexcept { return message_; }
    Connection connection() const noexcept { return connection_; }
    bool reconnecting() const noexcept { return connection_ == Connection::reconnecting; }
    bool waitingForNetwork() const noexcept { return connection_ == Connection::waitingForNetwork; }
    // While working, an installation run is in progress and start() does nothing.
    bool isWorking() const noexcept { return kind_ != Kind::failed && kind_ != Kind::ready; }

    friend bool operator==(const InstallerPhase&, const InstallerPhase&) = default;

private:
    explicit InstallerPhase(Kind kind, std::string message = {})
        : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    Connection connection_ = Connection::flowing;
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
        return phase.reconnecting()        ? "downloading, reconnecting"
               : phase.waitingForNetwork() ? "downloading, waiting for the network"
                                           : "downloading";
    case InstallerPhase::Kind::verifying:
        return "verifying";
    case InstallerPhase::Kind::installing:
        return "installing";
    }
    return "?";
}

} // namespace quorvane
