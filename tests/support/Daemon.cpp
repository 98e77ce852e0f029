#include "Daemon.h"

#include <csignal>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvane::test {
namespace {

// A socket that closes when it goes away.
struct Socket {
    explicit Socket(int family = AF_INET) : fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (fd < 0)
            throw std::runtime_error("socket");
    }
    ~Socket() { ::close(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd;
};

} // namespace

Daemon::Daemon(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv.front());
}

Daemon::~Daemon() {
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int freeLoopbackPort() {
    const Socket socket;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(socket.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port");
    return ntohs(address.sin_port);
}

bool waitForListener(int port, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const Socket socket;
        const sockaddr_in address = loopback(port);
        if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool waitForSocket(const std::filesystem::path& path, std::chrono::milliseconds limit) {
    // The socket's name appears before its server listens on it: ready once a connection takes.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = path.string();
    if (name.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + name);
    name.copy(address.sun_path, name.size());
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const Socket socket(AF_UNIX);
        if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace quorvane::test
