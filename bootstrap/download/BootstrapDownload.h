#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>

#include "download/DownloadPacing.h"
#include "download/DownloadProxy.h"
#include "manifest/BootstrapFailure.h"
#include "manifest/BootstrapManifest.h"
#include "manifest/SystemContext.h"

namespace quorvane {

// How a download meets the network. The defaults are the product's; tests shorten the waits.
struct DownloadOptions {
    DownloadProxy proxy;
    // Waits between automatic resumptions in a row that bring no new byte; after the last
    // one's attempt the download fails. A connection that brought new bytes is resumed at once.
    std::array<std::chrono::milliseconds, 5> reconnectWaits{
        std::chrono::seconds(1), std::chrono::seconds(2), std::chrono::seconds(4),
        std::chrono::seconds(8), std::chrono::seconds(16)};
    std::chrono::seconds connectTimeout{30};
    std::chrono::seconds stallTimeout{30}; // this long without a byte ends a connection
    // This long without a new byte (by `now`) counts as waiting for the network.
    std::chrono::milliseconds silenceNotice = std::chrono::seconds(5);
    DownloadPacing::Now now = DownloadPacing::Clock::now;
    // Called on the transfer thread: true while waiting to reconnect, false once reconnecting.
    std::function<void(bool waiting)> reconnecting{};
    // Called on the transfer thread: true once a connection brought nothing for
    // `silenceNotice`, false when bytes flow again or the connection ends.
    std::function<void(bool waiting)> waitingForNetwork{};
};

// Fetches the package tail over HTTPS into `destination`, on a thread of its own. One object
// serves one fetch. The tail grows in `partialPath(destination)`, beside a small record of
// where it came from; a connection that ends early is resumed from there, and a download that
// fails on the network keeps both so that a later fetch continues.
class BootstrapDownload {
public:
    // Called on the transfer thread with the cumulative count of tail bytes held. Falls only
    // when the download has to start over.
    using Progress = std::function<void(std::int64_t received)>;
    // Called exactly once, on the transfer thread (or on the thread calling cancel() or the
    // destructor): `error` is null and the tail lies at `destination`, or `error` holds a
    // BootstrapFailure.
    using Done = std::function<void(std::exception_ptr error)>;

    BootstrapDownload(BootstrapManifest manifest, std::filesystem::path destination,
                      Progress progress, const SystemContext& context = SystemContext::fromBuild(),
                      DownloadOptions options = {});
    ~BootstrapDownload(); // cancels a running transfer and waits for its thread
    BootstrapDownload(const BootstrapDownload&) = delete;
    BootstrapDownload& operator=(const BootstrapDownload&) = delete;

    // Validates the manifest (throwing its failure synchronously, with no request made), then
    // starts the transfer. Call at most once.
    void fetch(Done done);
    // Any thread, any time: before, during or after the transfer.
    void cancel();

    const std::filesystem::path& destination() const;

    static std::filesystem::path partialPath(const std::filesystem::path& destination);
    static std::filesystem::path recordPath(const std::filesystem::path& destination);
    // Bytes of a kept partial tail that a fetch of `manifest` into `destination` would continue
    // from; 0 when there is none or it was recorded for another payload.
    static std::uint64_t resumableBytes(const std::filesystem::path& destination,
                                        const BootstrapManifest& manifest);
    // Whether a download that ended in `failure` kept its partial tail (where it held one that
    // can be continued): after failures of the network and of space.
    static bool keepsPartialTail(const BootstrapFailure& failure);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace quorvane
