#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Daemon.h"
#include "TempDir.h"

namespace quorvane::test {

// A private session bus: a real dbus-daemon with a configuration of its own. Nothing of the
// machine's can be started on it (a desktop's portal is in the system's service folders, which
// `dbus-daemon --session` would read): only the services a test adds.
class PrivateBus {
public:
    PrivateBus();

    // "unix:path=..." for clients.
    const std::string& address() const { return address_; }
    // Makes `name` activatable: the bus starts `command` (absolute path first) when a client
    // asks for it, with no environment but a home and runtime folder of the bus's own and this
    // bus's address, so that nothing of the test's environment reaches the service.
    void addService(const std::string& name, const std::vector<std::string>& command);

private:
    TempDir dir_;
    std::string address_;
    std::optional<Daemon> daemon_;
};

} // namespace quorvane::test
