#include "PacedFileServer.h"

#include "base/FileIo.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::demo {

namespace {

constexpr std::size_t pieceBytes = 64 * 1024;
constexpr std::uint64_t reportEvery = 1 << 20;

// One response's state, shared by the provider's calls and its releaser.
struct Transfer {
    FileDescriptor file;
    std::uint64_t length = 0;
    std::uint64_t sent = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

} // namespace

PacedFileServer::PacedFileServer(Options options, std::function<void(const std::string&)> log)
    : options_(std::move(options)), log_(std::move(log)) {
    server_ =
        std::make_unique<httplib::SSLServer>(options_.certificate.c_str(), options_.key.c_str());
    if (!server_->is_valid())
        throw std::runtime_error("bad certificate or key: " + options_.certificate.string());
    // An idle keep-alive connection would hold up stopping for the default five seconds.
    server_->set_keep_alive_timeout(1);

    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        if (request.path != options_.path) {
            log_("request " + request.path + " 404");
            response.status = 404;
            return;
        }
        auto transfer = std::make_shared<Transfer>();
        transfer->file = FileDescriptor(::open(options_.file.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (!transfer->file || ::fstat(transfer->file.get(), &status) != 0) {
            log_("request " + request.path + " 500");
            response.status = 500;
            return;
        }
        transfer->length = static_cast<std::uint64_t>(status.st_size);
        log_("request " + request.path + " 200 " + std::to_string(transfer->length));
        response.status = 200;
        response.set_content_provider(
            transfer->length, "application/octet-stream",
            [this, transfer](std::size_t offset, std::size_t remaining, httplib::DataSink& sink) {
                const std::size_t n = std::min(remaining, pieceBytes);
                std::vector<char> piece(n);
                if (::pread(transfer->file.get(), piece.data(), n, static_cast<off_t>(offset)) !=
                    static_cast<ssize_t>(n))
                    return false;
                if (!sink.write(piece.data(), n))
                    return false;
                const std::uint64_t before = transfer->sent;
                transfer->sent = offset + n;
                served_ += n;
                if (transfer->sent / reportEvery != before / reportEvery &&
                    transfer->sent < transfer->length)
                    log_("sent " + std::to_string(transfer->sent));
                if (options_.bytesPerSecond == 0)
                    return true;
                // Paced against the response's start, so that slow writes are not paid twice.
                const auto due =
                    transfer->start +
                    std::chrono::microseconds(transfer->sent * 1'000'000 / options_.bytesPerSecond);
                return waitUntil(due);
            },
            [this, transfer](bool success) {
                const bool complete = success && transfer->sent == transfer->length;
                log_((complete ? "done " : "aborted ") + std::to_string(transfer->sent));
            });
    });

    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("cannot bind a port on 127.0.0.1");
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() is only heard once the server runs.
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

PacedFileServer::~PacedFileServer() {
    stop();
}

void PacedFileServer::stop() {
    if (!listener_.joinable())
        return;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    server_->stop();
    listener_.join();
}

bool PacedFileServer::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_until(lock, deadline, [this] { return stopping_; });
}

} // namespace quorvane::demo
