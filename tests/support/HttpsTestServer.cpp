#include "HttpsTestServer.h"

#include <algorithm>
#include <stdexcept>

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

namespace quorvane::test {
namespace {
// A body file shared by the response's pieces; closed with the last of them.
struct BodyFile {
    explicit BodyFile(const std::filesystem::path& path)
        : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd < 0)
            throw std::runtime_error("test server: cannot open " + path.string());
    }
    ~BodyFile() { ::close(fd); }
    BodyFile(const BodyFile&) = delete;
    BodyFile& operator=(const BodyFile&) = delete;
    int fd;
};
} // namespace

std::filesystem::path authorityDirectory() {
    return std::filesystem::path(QUORVANE_BINARY_DIR) / "authority";
}

HttpsTestServer::HttpsTestServer(Transport transport, const std::filesystem::path& authority)
    : transport_(transport) {
    if (transport == Transport::https)
        server_ = std::make_unique<httplib::SSLServer>((authority / "tls.pem").c_str(),
                                                       (authority / "tls.key").c_str());
    else
        server_ = std::make_unique<httplib::Server>();
    if (!server_->is_valid())
        throw std::runtime_error("test server: bad certificate or key in " + authority.string());
    server_->set_keep_alive_timeout(1);

    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        {
            const std::lock_guard lock(mutex_);
            auto& received = received_[request.path];
            ++received.count;
            ++total_;
            received.lastHeaders.clear();
            for (const auto& [name, value] : request.headers)
                received.lastHeaders[name] = value;
        }
        wake_.notify_all();
        const auto route = find(request.path);
        if (!route) {
            response.status = 404;
            return;
        }
        if (route->holdUntilRequests > 0) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] {
                return stopping_ || received_[request.path].count >= route->holdUntilRequests;
            });
        }
        response.status = route->status;
        for (const auto& [name, value] : route->headers)
            response.set_header(name, value);

        std::size_t length = route->body.size();
        std::shared_ptr<BodyFile> file;
        if (!route->bodyFile.empty()) {
            file = std::make_shared<BodyFile>(route->bodyFile);
            length = static_cast<std::size_t>(std::filesystem::file_size(route->bodyFile));
        }
        // Ranges are this server's to answer, honestly or not: httplib must not cut the body
        // again by the request's Range header.
        const_cast<httplib::Request&>(request).ranges.clear();
        // Where this answer's body starts in the whole body.
        std::size_t start = 0;
        const std::string range = request.get_header_value("Range");
        if (route->ranges && route->status == 200 && range.starts_with("bytes=") &&
            range.ends_with("-")) {
            const std::size_t from = std::stoull(range.substr(6));
            const std::string ifRange = request.get_header_value("If-Range");
            bool current = ifRange.empty();
            for (const auto& [name, value] : route->headers)
                current =
                    current || ((name == "ETag" || name == "Last-Modified") && value == ifRange);
            if (from + route->rangeSkew < length && (route->ignoreIfRange || current)) {
                if (!route->rangeETag.empty()) {
                    response.headers.erase("ETag");
                    response.set_header("ETag", route->rangeETag);
                }
                start = from + route->rangeSkew;
                response.status = 206;
                response.set_header("Content-Range",
                                    "bytes " + std::to_string(start) + "-" +
                                        std::to_string(length - 1) + "/" +
                                        std::to_string(length + route->completeSkew));
            }
        }
        if (length == start && !route->dropAfter && !route->stallAfter)
            return;
        std::optional<std::size_t> dropAt = route->dropAfter;
        {
            const std::lock_guard lock(mutex_);
            auto& done = dropsDone_[request.path];
            while (done < route->dropsAt.size() && route->dropsAt[done] < start)
                ++done;
            if (done < route->dropsAt.size()) {
                if (!dropAt || route->dropsAt[done] < *dropAt)
                    dropAt = route->dropsAt[done];
                ++done;
            }
        }
        response.set_content_provider(
            length - start, route->contentType,
            [this, route = *route, file, start, dropAt](std::size_t relative, std::size_t remaining,
                                                        httplib::DataSink& sink) {
                const std::size_t offset = start + relative;
                if (dropAt && offset >= *dropAt)
                    return false;
                if (route.stallAfter && offset >= *route.stallAfter) {
                    waitWhileRunning(std::chrono::hours(1));
                    return false;
                }
                std::size_t n = std::min(remaining, route.pieceBytes);
                for (const auto& limit : {dropAt, route.stallAfter})
                    if (limit && *limit > offset)
                        n = std::min(n, *limit - offset);
                std::string piece(n, '\0');
                if (file) {
                    if (::pread(file->fd, piece.data(), n, static_cast<off_t>(offset)) !=
                        static_cast<ssize_t>(n))
                        return false;
                } else {
                    piece.assign(route.body, offset, n);
                }
                if (!sink.write(piece.data(), piece.size()))
                    return false;
                {
                    const std::lock_guard lock(mutex_);
                    served_ += n;
                }
                return route.pause.count() == 0 || waitWhileRunning(route.pause);
            });
    });

    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0)
        throw std::runtime_error("test server: cannot bind");
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() is only heard once the server runs.
    while (!server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpsTestServer::~HttpsTestServer() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    server_->stop();
    listener_.join();
}

void HttpsTestServer::route(const std::string& path, Route route) {
    const std::lock_guard lock(mutex_);
    routes_[path] = std::move(route);
    dropsDone_[path] = 0;
}

std::optional<HttpsTestServer::Route> HttpsTestServer::find(const std::string& path) {
    const std::lock_guard lock(mutex_);
    const auto it = routes_.find(path);
    if (it == routes_.end())
        return std::nullopt;
    return it->second;
}

bool HttpsTestServer::waitWhileRunning(std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, pause, [this] { return stopping_; });
}

std::string HttpsTestServer::url(std::string_view path) const {
    return (transport_ == Transport::https ? "https://127.0.0.1:" : "http://127.0.0.1:") +
           std::to_string(port_) + std::string(path);
}

int HttpsTestServer::requests(const std::string& path) const {
    const std::lock_guard lock(mutex_);
    const auto it = received_.find(path);
    return it == received_.end() ? 0 : it->second.count;
}

std::size_t HttpsTestServer::bytesServed() const {
    const std::lock_guard lock(mutex_);
    return served_;
}

int HttpsTestServer::requests() const {
    const std::lock_guard lock(mutex_);
    return total_;
}

std::string HttpsTestServer::lastHeader(const std::string& path, const std::string& name) const {
    const std::lock_guard lock(mutex_);
    const auto it = received_.find(path);
    if (it == received_.end())
        return {};
    for (const auto& [key, value] : it->second.lastHeaders)
        if (std::equal(key.begin(), key.end(), name.begin(), name.end(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            return value;
    return {};
}

} // namespace quorvane::test
