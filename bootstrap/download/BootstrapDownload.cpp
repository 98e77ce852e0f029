#include "download/BootstrapDownload.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "download/CurlHandles.h"
#include "download/CurlLoop.h"
#include "download/PartialTail.h"
#include "download/ReconnectPolicy.h"
#include "download/SilenceWatch.h"
#include "download/SystemCABundle.h"
#include "download/TailRequest.h"
#include "download/TransferFailure.h"
#include "download/TransferLog.h"

namespace quorvane {

struct BootstrapDownload::State {
    BootstrapManifest manifest;
    std::filesystem::path destination;
    Progress progress;
    std::string caFile;
    std::string caPem;
    DownloadOptions options;

    std::mutex mutex;
    std::condition_variable wake; // ends a wait to reconnect when cancelled
    Done done;                    // present from fetch() until the outcome is delivered
    bool fetched = false;         // fetch() may run once
    CURLM* waking = nullptr;      // the running transfer's multi handle, for cancel() to wake
    std::atomic<bool> cancelled = false;
    std::thread thread;

    void run();
    std::exception_ptr transfer();
    void transferInto(PartialTail& tail, const CurlProxy& proxy);
    void finish(std::exception_ptr outcome);
    bool waitToReconnect(std::chrono::milliseconds wait); // false when cancelled
};

namespace {

// How one request ended.
enum class Ending {
    complete,  // the whole answer arrived
    dropped,   // the connection ended early: resume from what is held
    startOver, // the answer cannot continue what is held: start again from byte 0
};

} // namespace

bool BootstrapDownload::State::waitToReconnect(std::chrono::milliseconds wait) {
    if (options.reconnecting)
        options.reconnecting(true);
    bool woken = false;
    {
        std::unique_lock lock(mutex);
        woken = wake.wait_for(lock, wait, [this] { return cancelled.load(); });
    }
    if (options.reconnecting)
        options.reconnecting(false);
    return !woken;
}

// Requests until the tail is whole, resuming and starting over as the answers allow.
void BootstrapDownload::State::transferInto(PartialTail& tail, const CurlProxy& proxy) {
    bool answered = tail.held() > 0; // some answer was taken: later connection failures resume
    ReconnectPolicy policy(options.reconnectWaits, tail.held());
    SilenceWatch silence(options.now, options.silenceNotice, [&](bool waiting) {
        transferLog::waitingForNetwork(waiting, tail.held());
        if (options.waitingForNetwork)
            options.waitingForNetwork(waiting);
    });
    const auto attach = [this](CURLM* multi) {
        // Waking is safe under the lock: cancel() holds it while it wakes.
        const std::lock_guard lock(mutex);
        waking = multi;
    };
    for (;;) {
        TailRequest request(tail, cancelled);
        curl::HeaderList headers = curl::append(nullptr, "Accept-Encoding: identity");
        if (request.ranged()) {
            headers = curl::append(std::move(headers),
                                   "Range: bytes=" + std::to_string(request.from()) + "-");
            headers = curl::append(std::move(headers), "If-Range: " + tail.validator());
        }
        const curl::Easy easy(curl_easy_init());
        if (!easy)
            curl::fail(CURLE_OUT_OF_MEMORY);
        request.configure(easy.get(), manifest.payloadURL, caFile, caPem, options, proxy,
                          headers.get());
        char curlDetail[CURL_ERROR_SIZE] = {};
        curl::set(easy.get(), CURLOPT_ERRORBUFFER, curlDetail);
        const std::uint64_t heldBefore = tail.held();

        CURLcode result = CURLE_OK;
        silence.start(tail.held());
        try {
            result = runToEnd(easy.get(), cancelled, attach, [&] { silence.observe(tail.held()); });
        } catch (...) {
            silence.stop();
            throw;
        }
        silence.stop();
        answered = answered || request.accepted();
        transferLog::requestEnded(easy.get(), manifest.payloadURL, proxy, request.from(),
                                  tail.held() - std::min(tail.held(), heldBefore), tail.held(),
                                  result, curlDetail);

        Ending ending = Ending::complete;
        if (request.failure()) {
            std::rethrow_exception(request.failure());
        } else if (request.mustStartOver()) {
            ending = Ending::startOver;
        } else if (result != CURLE_OK) {
            if (cancelled.load())
                throw BootstrapFailure::cancelled;
            if (!answered || !connectionEnded(result))
                throw std::system_error(static_cast<int>(result), curl::category(), "transfer");
            ending = tail.validator().empty() ? Ending::startOver : Ending::dropped;
        } else if (!request.accepted()) {
            throw BootstrapFailure::download;
        }
        if (ending == Ending::complete)
            return;

        const auto next = policy.next(tail.held());
        if (!next)
            throw BootstrapFailure::download;
        transferLog::reconnecting(ending == Ending::startOver, next->wait, next->attempt);
        if (next->attempt == 0 ? cancelled.load() : !waitToReconnect(next->wait))
            throw BootstrapFailure::cancelled;
        if (ending == Ending::startOver)
            tail.startOver();
    }
}

std::exception_ptr BootstrapDownload::State::transfer() {
    if (cancelled.load())
        return std::make_exception_ptr(BootstrapFailure::cancelled); // nothing was requested
    curl::initialise();
    const std::optional<CurlProxy> proxy = curlProxy(options.proxy.uri);
    if (!proxy)
        return std::make_exception_ptr(BootstrapFailure::download);

    PartialTail tail(destination, manifest, progress, options.now);
    transferLog::started(manifest.payloadURL, *proxy, options.proxy.noProxy,
                         !caPem.empty()   ? std::string("the authorities built into the installer")
                         : caFile.empty() ? std::string("libcurl's default store")
                                          : caFile);
    std::exception_ptr outcome;
    try {
        tail.open();
        transferInto(tail, *proxy);
        tail.finish(destination);
        return nullptr;
    } catch (...) {
        transferLog::failed(std::current_exception());
        outcome =
            std::make_exception_ptr(transferFailure(std::current_exception(), cancelled.load()));
    }
    // A tail that a later fetch can continue stays; a cancelled download or an answer beyond the
    // limit leaves nothing.
    if (!(PartialTail::keptAfter(BootstrapFailure::classify(outcome, BootstrapFailure::download)) &&
          tail.resumable()))
        tail.discard();
    return outcome;
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
                                     Progress progress, const SystemContext& context,
                                     DownloadOptions options)
    : state_(std::make_shared<State>()) {
    state_->manifest = std::move(manifest);
    state_->destination = std::move(destination);
    state_->progress = std::move(progress);
    // Built-in authorities replace any file; neither means the system's store, wherever this
    // distribution keeps it.
    state_->caPem = context.downloadCAPem;
    state_->caFile = context.downloadCAPem.empty() && context.downloadCAFile.empty()
                         ? findCABundle().string()
                         : context.downloadCAFile;
    state_->options = std::move(options);
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
    {
        const std::lock_guard lock(state_->mutex);
        state_->cancelled = true;
        if (state_->waking)
            curl_multi_wakeup(state_->waking);
    }
    state_->wake.notify_all();
}

const std::filesystem::path& BootstrapDownload::destination() const {
    return state_->destination;
}

std::filesystem::path BootstrapDownload::partialPath(const std::filesystem::path& destination) {
    return PartialTail::partialPath(destination);
}

std::filesystem::path BootstrapDownload::recordPath(const std::filesystem::path& destination) {
    return PartialTail::recordPath(destination);
}

std::uint64_t BootstrapDownload::resumableBytes(const std::filesystem::path& destination,
                                                const BootstrapManifest& manifest) {
    return PartialTail::resumable(destination, manifest);
}

bool BootstrapDownload::keepsPartialTail(const BootstrapFailure& failure) {
    return PartialTail::keptAfter(failure);
}

} // namespace quorvane
