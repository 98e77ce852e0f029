#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace quorvane::test {

// The build's throwaway authority (root.pem, tls.pem, tls.key, ...).
std::filesystem::path authorityDirectory();

// A web server on 127.0.0.1 at a free port, inside the test process, answering GET requests
// from a table of routes that the test fills in. HTTPS with the given authority's tls.pem and
// tls.key by default; plain HTTP on request.
class HttpsTestServer {
public:
    struct Route {
        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers{};
        std::string body{};
        std::filesystem::path bodyFile{}; // when set, the body is this file's contents, streamed
        // The body goes out in pieces of this size, with this pause after each piece.
        std::size_t pieceBytes = 64 * 1024;
        std::chrono::milliseconds pause{0};
        // After this many body bytes: drop the connection, or send nothing more until the
        // server stops (the declared length is still the whole body's).
        std::optional<std::size_t> dropAfter{};
        std::optional<std::size_t> stallAfter{};
        // Nothing is answered until this many requests for the path have arrived, so that
        // clients started apart still overlap.
        int holdUntilRequests = 0;
        // Answers "Range: bytes=K-" with 206 from K, when If-Range is absent or names the
        // route's ETag or Last-Modified (else 200); offsets of dropAfter and stallAfter stay the
        // whole body's.
        bool ranges = false;
        bool ignoreIfRange = false; // 206 whatever If-Range names
        std::string rangeETag{};    // when set, the ETag that 206 answers carry
        // A hostile 206: the body starts this much after K (and says so), and the complete
        // length announced is off by this much.
        std::size_t rangeSkew = 0;
        std::size_t completeSkew = 0;
        // Absolute body offsets where a connection is dropped, each one once, in order (counted
        // again from the first whenever the route is set). An offset given twice also drops the
        // request that resumes there, before its first byte.
        std::vector<std::size_t> dropsAt{};
        std::string contentType = "application/octet-stream";
    };

    enum class Transport { https, plainHttp };

    explicit HttpsTestServer(Transport transport = Transport::https,
                             const std::filesystem::path& authority = authorityDirectory());
    ~HttpsTestServer();
    HttpsTestServer(const HttpsTestServer&) = delete;
    HttpsTestServer& operator=(const HttpsTestServer&) = delete;

    void route(const std::string& path, Route route);
    std::string url(std::string_view path) const;
    int port() const { return port_; }

    // Requests received for `path`, and for any path.
    int requests(const std::string& path) const;
    int requests() const;
    // A header of the latest request for `path` ("" when absent).
    std::string lastHeader(const std::string& path, const std::string& name) const;
    // Body bytes handed to connections, for every path.
    std::size_t bytesServed() const;

private:
    struct Received {
        int count = 0;
        std::map<std::string, std::string> lastHeaders;
    };

    std::optional<Route> find(const std::string& path);
    bool waitWhileRunning(std::chrono::milliseconds pause); // false once stopping

    Transport transport_;
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread listener_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::map<std::string, Route> routes_;
    std::map<std::string, Received> received_;
    int total_ = 0;
    std::size_t served_ = 0;
    std::map<std::string, std::size_t> dropsDone_; // per path
};

} // namespace quorvane::test
