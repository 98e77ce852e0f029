#include "PrivateBus.h"

#include <stdexcept>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>

#include "base/FileIo.h"

#include "BusConfig.h"
#include "TempDir.h"

namespace quorvane::test {

PrivateBus::PrivateBus() : address_("unix:path=" + (dir_ / "bus").string()) {
    std::filesystem::create_directories(dir_ / "services");
    std::filesystem::create_directories(dir_ / "home");
    const auto config = dir_ / "bus.conf";
    writePrivateBusConfig(config, address_, dir_ / "services");
    daemon_.emplace(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork"});
    // The socket's name appears before the daemon listens on it: ready once a connection takes.
    const auto accepts = [socket = (dir_ / "bus").string()] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socket.copy(address.sun_path, sizeof address.sun_path - 1);
        const FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        return probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                                  sizeof address) == 0;
    };
    for (int i = 0; i < 1000 && !accepts(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!accepts())
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
