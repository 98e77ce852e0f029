#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/types.h>

namespace quorvane::test {

// A server program run for the length of a test (argv[0] searched on PATH, no shell): ended
// with SIGTERM, then SIGKILL, and waited for when it goes away. Its output goes to /dev/null.
class Daemon {
public:
    explicit Daemon(const std::vector<std::string>& argv);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// The address of `port` on 127.0.0.1.
sockaddr_in loopback(int port);
// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();
// Waits until something accepts connections on 127.0.0.1:`port`; false after `limit`.
bool waitForListener(int port, std::chrono::milliseconds limit = std::chrono::seconds(10));
// Waits until something accepts connections on the Unix socket at `path`; false after `limit`.
bool waitForSocket(const std::filesystem::path& path,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace quorvane::test
