#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class SSLServer;
}

namespace quorvane::demo {

// An HTTPS server on 127.0.0.1 that answers GET of one path with one file, paced to a byte rate
// so that a download of a few tens of megabytes takes seconds, not milliseconds. Every other
// path gets 404. Each request, each mebibyte sent and each response's end is reported as one
// line through `log`.
class PacedFileServer {
public:
    struct Options {
        std::filesystem::path certificate;
        std::filesystem::path key;
        std::filesystem::path file;
        std::string path;
        std::uint64_t bytesPerSecond = 0; // 0: as fast as the connection takes it
    };

    // Binds a free port; serving starts at once. Throws std::runtime_error when it cannot.
    PacedFileServer(Options options, std::function<void(const std::string&)> log);
    ~PacedFileServer();
    PacedFileServer(const PacedFileServer&) = delete;
    PacedFileServer& operator=(const PacedFileServer&) = delete;

    // Ends the responses in progress and stops listening; returns once every worker is done.
    void stop();

    int port() const noexcept { return port_; }
    std::uint64_t bytesServed() const noexcept { return served_.load(); }

private:
    // Sleeps until `deadline`; false once the server is stopping.
    bool waitUntil(std::chrono::steady_clock::time_point deadline);

    Options options_;
    std::function<void(const std::string&)> log_;
    std::unique_ptr<httplib::SSLServer> server_;
    int port_ = 0;
    std::thread listener_;
    std::atomic<std::uint64_t> served_{0};

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

} // namespace quorvane::demo
