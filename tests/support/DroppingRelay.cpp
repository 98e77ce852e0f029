#include "DroppingRelay.h"

#include "Daemon.h"

#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvane::test {
namespace {
// Closes a descriptor when it goes away.
struct Closing {
    int fd;
    ~Closing() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

DroppingRelay::DroppingRelay(int upstreamPort, std::vector<std::uint64_t> cuts)
    : upstream_(upstreamPort), cuts_(std::move(cuts)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::pipe2(stop_, O_CLOEXEC) != 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("relay: cannot listen");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept(); });
}

DroppingRelay::~DroppingRelay() {
    ::close(stop_[1]);
    acceptor_.join();
    for (auto& thread : threads_)
        thread.join();
    ::close(stop_[0]);
    ::close(listener_);
}

void DroppingRelay::accept() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents)
            return;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        const auto index = static_cast<std::size_t>(accepted_++);
        std::optional<std::uint64_t> cut;
        if (index < cuts_.size())
            cut = cuts_[index];
        const std::lock_guard lock(mutex_);
        threads_.emplace_back([this, client, cut] { pump(client, cut); });
    }
}

void DroppingRelay::pump(int client, std::optional<std::uint64_t> cut) {
    const Closing clientGuard{client};
    const Closing server{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    const sockaddr_in address = loopback(upstream_);
    if (server.fd < 0 ||
        ::connect(server.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return;
    std::uint64_t down = 0;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        pollfd fds[3] = {{client, POLLIN, 0}, {server.fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 || fds[2].revents)
            return;
        if (fds[0].revents) {
            const ssize_t n = ::read(client, buffer.data(), buffer.size());
            if (n <= 0 || ::write(server.fd, buffer.data(), static_cast<std::size_t>(n)) != n)
                return;
        }
        if (fds[1].revents) {
            std::size_t want = buffer.size();
            if (cut)
                want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *cut - down));
            if (want == 0)
                return; // the cut: both sides close
            const ssize_t n = ::read(server.fd, buffer.data(), want);
            if (n <= 0 || ::write(client, buffer.data(), static_cast<std::size_t>(n)) != n)
                return;
            down += static_cast<std::uint64_t>(n);
            relayed_ += static_cast<std::uint64_t>(n);
            if (cut && down >= *cut)
                return;
        }
    }
}

} // namespace quorvane::test
