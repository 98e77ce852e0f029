#include "BootstrapDownload.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include "BootstrapFailure.h"
#include "FileIo.h"

namespace quorvane {
namespace {

class CurlCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "libcurl"; }
    std::string message(int code) const override {
        return curl_easy_strerror(static_cast<CURLcode>(code));
    }
};

const std::error_category& curlCategory() {
    static const CurlCategory category;
    return category;
}

[[noreturn]] void throwCurl(CURLcode code) {
    throw std::system_error(static_cast<int>(code), curlCategory());
}

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
            throwCurl(rc);
    });
}

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;
using Multi = std::unique_ptr<CURLM, MultiCleanup>;
using HeaderList = std::unique_ptr<curl_slist, ListCleanup>;

// Refuses to go on with any option that libcurl does not take: a transfer must never run with
// weaker settings than intended.
template <typename Value> void set(CURL* easy, CURLoption option, Value value) {
    if (const CURLcode rc = curl_easy_setopt(easy, option, value); rc != CURLE_OK)
        throwCurl(rc);
}

// The body's file in the destination's folder, so that the final move is a rename on one file
// system. Removed when it goes away unless it was moved into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::filesystem::path& destination) {
        std::string name = ".";
        name += destination.filename().string();
        name += ".XXXXXX";
        std::string pattern = (destination.parent_path() / name).string();
        const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0)
            throwErrno("mkostemp");
        file_.reset(fd);
        path_ = pattern;
        // The umask may have taken the owner's bits away; the package is joined in place later.
        if (::fchmod(fd, 0600) != 0)
            throwErrno("fchmod");
    }
    ~TemporaryFile() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return file_.get(); }
    void closeAndMoveTo(const std::filesystem::path& destination) {
        // Some file systems report a failed write only when the file is closed.
        if (::close(file_.release()) != 0)
            throwErrno("close");
        moveNoReplace(path_, destination);
        path_.clear();
    }

private:
    FileDescriptor file_;
    std::filesystem::path path_;
};

} // namespace

struct BootstrapDownload::State {
    BootstrapManifest manifest;
    std::filesystem::path destination;
    Progress progress;
    std::string caFile;

    std::mutex mutex;
    Done done;               // present from fetch() until the outcome is delivered
    bool fetched = false;    // fetch() may run once
    CURLM* waking = nullptr; // the running transfer's multi handle, for cancel() to wake
    std::atomic<bool> cancelled = false;
    std::thread thread;

    void run();
    std::exception_ptr transfer();
    void finish(std::exception_ptr outcome);
};

namespace {

// What one transfer knows while the body arrives; lives on the transfer thread only.
struct Body {
    Body(BootstrapDownload::Progress& progress, const std::atomic<bool>& cancelled,
         std::uint64_t limit, const std::filesystem::path& destination)
        : progress(progress), cancelled(cancelled), limit(limit), file(destination) {}

    BootstrapDownload::Progress& progress;
    const std::atomic<bool>& cancelled;
    CURL* easy = nullptr;
    std::uint64_t limit;
    std::uint64_t accepted = 0;
    std::uint64_t written = 0;
    std::uint64_t reported = 0;
    TemporaryFile file;
    bool statusAccepted = false;
    std::exception_ptr failure; // set by the callback that stopped the transfer

    // Each piece goes to the file straight from libcurl's buffer, while it is still in the CPU's
    // cache; collecting pieces into a 1 MiB buffer first made the kernel's copy several times
    // slower. Progress goes out at every full MiB written (a piece that crosses the mark is
    // written in two parts) and once for the rest at the end, which bounds the rate of reports
    // whatever the size of libcurl's pieces.
    void take(const char* data, std::size_t length) {
        while (length > 0) {
            const std::size_t n =
                std::min<std::uint64_t>(length, chunkBytes - written % chunkBytes);
            writeAll(file.fd(), std::span(data, n));
            written += n;
            data += n;
            length -= n;
            if (written % chunkBytes == 0)
                report();
        }
    }

    void report() {
        if (written == reported)
            return;
        reported = written;
        if (progress)
            progress(static_cast<std::int64_t>(written));
    }

    static std::size_t onData(char* data, std::size_t, std::size_t length, void* user) {
        auto& body = *static_cast<Body*>(user);
        if (body.cancelled.load()) {
            body.failure = std::make_exception_ptr(BootstrapFailure::cancelled);
            return CURL_WRITEFUNC_ERROR;
        }
        // Decided before the first byte counts, so an error page is never written or reported.
        if (!body.statusAccepted) {
            long status = 0;
            curl_easy_getinfo(body.easy, CURLINFO_RESPONSE_CODE, &status);
            if (status != 200) {
                body.failure = std::make_exception_ptr(BootstrapFailure::download);
                return CURL_WRITEFUNC_ERROR;
            }
            body.statusAccepted = true;
        }
        if (length > body.limit - body.accepted) {
            body.failure = std::make_exception_ptr(BootstrapFailure::size);
            return CURL_WRITEFUNC_ERROR;
        }
        body.accepted += length;
        try {
            body.take(data, length);
        } catch (...) {
            body.failure = std::make_exception_ptr(
                BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download));
            return CURL_WRITEFUNC_ERROR;
        }
        return length;
    }
};

void configure(CURL* easy, const BootstrapManifest& manifest, const std::string& caFile,
               curl_slist* headers, Body& body) {
    set(easy, CURLOPT_URL, manifest.payloadURL.c_str());
    set(easy, CURLOPT_PROTOCOLS_STR, "https");
    set(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    set(easy, CURLOPT_FOLLOWLOCATION, 0L);
    set(easy, CURLOPT_HTTPGET, 1L);
    set(easy, CURLOPT_HTTPHEADER, headers);
    set(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    set(easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    set(easy, CURLOPT_PROXY, ""); // no proxy taken from the environment
    set(easy, CURLOPT_NOSIGNAL, 1L);
    set(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    set(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    set(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!caFile.empty()) {
        set(easy, CURLOPT_CAINFO, caFile.c_str());
        set(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    set(easy, CURLOPT_CONNECTTIMEOUT, 30L);
    set(easy, CURLOPT_LOW_SPEED_LIMIT, 1L); // 30 s without data ends the transfer
    set(easy, CURLOPT_LOW_SPEED_TIME, 30L);
    set(easy, CURLOPT_TIMEOUT, 7200L);
    set(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
    set(easy, CURLOPT_WRITEFUNCTION, &Body::onData);
    set(easy, CURLOPT_WRITEDATA, &body);
}

} // namespace

std::exception_ptr BootstrapDownload::State::transfer() {
    if (cancelled.load())
        return std::make_exception_ptr(BootstrapFailure::cancelled); // nothing was requested
    initialiseCurl();

    const auto n = static_cast<std::uint64_t>(manifest.embeddedPackageBytes.value_or(0));
    Body body(progress, cancelled, static_cast<std::uint64_t>(manifest.payloadBytes) - n,
              destination);

    const HeaderList headers(curl_slist_append(nullptr, "Accept-Encoding: identity"));
    const Multi multi(curl_multi_init());
    const Easy easy(curl_easy_init());
    if (!headers || !multi || !easy)
        throwCurl(CURLE_OUT_OF_MEMORY);
    body.easy = easy.get();
    configure(easy.get(), manifest, caFile, headers.get(), body);

    if (const CURLMcode rc = curl_multi_add_handle(multi.get(), easy.get()); rc != CURLM_OK)
        throw std::runtime_error(curl_multi_strerror(rc));
    struct Attached {
        CURLM* multi;
        CURL* easy;
        std::mutex& mutex;
        CURLM*& waking;
        ~Attached() {
            {
                const std::lock_guard lock(mutex);
                waking = nullptr;
            }
            curl_multi_remove_handle(multi, easy);
        }
    } attached{multi.get(), easy.get(), mutex, waking};
    {
        const std::lock_guard lock(mutex);
        waking = multi.get();
    }

    for (;;) {
        int running = 0;
        if (const CURLMcode rc = curl_multi_perform(multi.get(), &running); rc != CURLM_OK)
            throw std::runtime_error(curl_multi_strerror(rc));
        if (running == 0)
            break;
        if (cancelled.load())
            return std::make_exception_ptr(BootstrapFailure::cancelled);
        if (const CURLMcode rc = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
            rc != CURLM_OK)
            throw std::runtime_error(curl_multi_strerror(rc));
    }

    CURLcode result = CURLE_OK;
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued))
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    if (body.failure)
        return body.failure;
    if (result != CURLE_OK) {
        const auto error = std::make_exception_ptr(
            std::system_error(static_cast<int>(result), curlCategory(), "transfer"));
        return std::make_exception_ptr(BootstrapFailure::classify(
            error, cancelled.load() ? BootstrapFailure::cancelled : BootstrapFailure::download));
    }
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        return std::make_exception_ptr(BootstrapFailure::download);

    try {
        body.report();
        body.file.closeAndMoveTo(destination);
    } catch (...) {
        return std::make_exception_ptr(
            BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download));
    }
    return nullptr;
}

void BootstrapDownload::State::run() {
    std::exception_ptr outcome;
    try {
        outcome = transfer();
    } catch (...) {
        outcome = std::make_exception_ptr(
            BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download));
    }
    finish(outcome);
}

void BootstrapDownload::State::finish(std::exception_ptr outcome) {
    Done taken;
    {
        const std::lock_guard lock(mutex);
        taken = std::exchange(done, nullptr);
    }
    if (taken)
        taken(outcome);
}

BootstrapDownload::BootstrapDownload(BootstrapManifest manifest, std::filesystem::path destination,
                                     Progress progress, const SystemContext& context)
    : state_(std::make_shared<State>()) {
    state_->manifest = std::move(manifest);
    state_->destination = std::move(destination);
    state_->progress = std::move(progress);
    state_->caFile = context.downloadCAFile;
}

BootstrapDownload::~BootstrapDownload() {
    cancel();
    if (!state_->thread.joinable())
        return;
    // Destroyed from its own outcome callback: the thread holds the state and ends by itself.
    if (state_->thread.get_id() == std::this_thread::get_id())
        state_->thread.detach();
    else
        state_->thread.join();
}

void BootstrapDownload::fetch(Done done) {
    state_->manifest.validate();
    {
        const std::lock_guard lock(state_->mutex);
        if (state_->fetched)
            throw std::logic_error("BootstrapDownload::fetch called twice");
        state_->fetched = true;
        state_->done = std::move(done);
    }
    try {
        state_->thread = std::thread([state = state_] { state->run(); });
    } catch (...) {
        state_->finish(std::make_exception_ptr(
            BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download)));
    }
}

void BootstrapDownload::cancel() {
    const std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    // Waking is safe under the lock: the transfer drops the handle only while holding it.
    if (state_->waking)
        curl_multi_wakeup(state_->waking);
}

const std::filesystem::path& BootstrapDownload::destination() const {
    return state_->destination;
}

} // namespace quorvane
