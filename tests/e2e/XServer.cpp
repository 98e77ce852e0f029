#include "XServer.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quorvane::test {

namespace {

// Owns both ends of a pipe.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
    }
    ~Pipe() {
        for (const int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

} // namespace

std::filesystem::path launcher() {
    return QUORVANE_E2E_LAUNCHER;
}

XServer::XServer() {
    Pipe ready;
    // -displayfd: Xvfb picks a free display and writes its number once it accepts clients.
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{launcher().string(), "--", "/usr/bin/Xvfb", "-displayfd", "3",
                                 "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
        std::map<std::string, std::string>{}, std::filesystem::path{}, ready.fds[1]);
    ::close(ready.fds[1]);
    ready.fds[1] = -1;

    std::string number;
    pollfd waiting{ready.fds[0], POLLIN, 0};
    while (true) {
        const int n = ::poll(&waiting, 1, 20000);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("Xvfb did not come up");
        char buffer[16];
        const ssize_t got = ::read(ready.fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        number.append(buffer, static_cast<size_t>(got));
        if (number.find('\n') != std::string::npos)
            break;
    }
    while (!number.empty() && (number.back() == '\n' || number.back() == ' '))
        number.pop_back();
    if (number.empty())
        throw std::runtime_error("Xvfb did not tell its display");
    display_ = ":" + number;
}

XServer::~XServer() {
    process_->kill(SIGTERM);
    if (!process_->wait(std::chrono::seconds(5)))
        process_->kill(SIGKILL);
}

} // namespace quorvane::test
