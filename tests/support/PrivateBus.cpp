#include "PrivateBus.h"

#include <stdexcept>

#include "BusConfig.h"
#include "Daemon.h"
#include "TempDir.h"

namespace quorvane::test {

PrivateBus::PrivateBus() : address_("unix:path=" + (dir_ / "bus").string()) {
    std::filesystem::create_directories(dir_ / "services");
    std::filesystem::create_directories(dir_ / "home");
    const auto config = dir_ / "bus.conf";
    writePrivateBusConfig(config, address_, dir_ / "services");
    daemon_.emplace(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork"});
    if (!waitForSocket(dir_ / "bus"))
        throw std::runtime_error("dbus-daemon did not start");
}

void PrivateBus::addService(const std::string& name, const std::vector<std::string>& command) {
    const std::string home = (dir_ / "home").string();
    std::string exec = "/usr/bin/env -i HOME=" + home + " XDG_RUNTIME_DIR=" + home +
                       " DBUS_SESSION_BUS_ADDRESS=" + address_;
    for (const auto& argument : command)
        exec += " " + argument;
    writeFile(dir_ / "services" / (name + ".service"),
              "[D-BUS Service]\nName=" + name + "\nExec=" + exec + "\n");
}

} // namespace quorvane::test
