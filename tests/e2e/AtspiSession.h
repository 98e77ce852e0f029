#pragma once

// A private desktop session for assistive technology: a session bus whose activated AT-SPI bus
// launcher, AT-SPI bus and registry all run in a PID namespace of their own (so that they all
// end with it), and a screen-reader-like client (atspi_reader.py) reading the installer's
// window from outside over that bus.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "TempDir.h"

namespace quorvane::test {

// Why the AT-SPI tests cannot run here, or empty when they can.
std::string atspiUnavailable();

class AtspiSession {
public:
    explicit AtspiSession(const std::string& display); // throws when the bus does not come up
    ~AtspiSession();
    AtspiSession(const AtspiSession&) = delete;
    AtspiSession& operator=(const AtspiSession&) = delete;

    // What the installer needs to join the session with accessibility on.
    std::map<std::string, std::string> installerEnvironment() const;
    // What an assistive technology client needs to join it: the display, the private session
    // bus and runtime folder, and no way to the machine's system bus or settings.
    std::map<std::string, std::string> clientEnvironment() const;

    // Starts the client and waits until it listens; false if it never did.
    bool startReader();
    // Everything the client has written so far, in order.
    std::vector<nlohmann::json> records() const;
    // Waits until a record satisfies `match`; false after `limit`.
    bool awaitRecord(const std::function<bool(const nlohmann::json&)>& match,
                     std::chrono::milliseconds limit) const;
    // Has the client press Retry through its AT-SPI action; true once it reports success.
    bool pressRetry();
    // Waits until the client has handled every event that reached it before this call.
    bool drain();
    // Drains and stops the client; its records stay readable.
    void stopReader();

    const std::filesystem::path& folder() const { return dir_.path(); }

private:
    std::string noSystemBus() const;

    TempDir dir_;
    int drains_ = 0;
    std::string display_;
    std::string address_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> reader_;
};

} // namespace quorvane::test
