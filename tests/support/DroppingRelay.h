#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace quorvane::test {

// A TCP relay on 127.0.0.1 in front of a server on another loopback port, which cuts its n-th
// connection after `cuts[n]` bytes from the server (TLS passes through untouched, so the client
// sees a connection that ends mid-body). Connections past the list pass whole.
class DroppingRelay {
public:
    DroppingRelay(int upstreamPort, std::vector<std::uint64_t> cuts);
    ~DroppingRelay();
    DroppingRelay(const DroppingRelay&) = delete;
    DroppingRelay& operator=(const DroppingRelay&) = delete;

    int port() const { return port_; }
    // Bytes passed from the server to clients, over all connections.
    std::uint64_t bytesRelayed() const { return relayed_.load(); }
    int connections() const { return accepted_.load(); }

private:
    void accept();
    void pump(int client, std::optional<std::uint64_t> cut);

    int upstream_;
    std::vector<std::uint64_t> cuts_;
    int listener_ = -1;
    int stop_[2] = {-1, -1}; // a pipe whose closing ends every loop
    int port_ = 0;
    std::atomic<std::uint64_t> relayed_ = 0;
    std::atomic<int> accepted_ = 0;
    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

} // namespace quorvane::test
