#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>

#include "BootstrapManifest.h"
#include "SystemContext.h"

namespace quorvane {

// Fetches the package tail over HTTPS into `destination`, on a thread of its own. One object
// serves one fetch.
class BootstrapDownload {
public:
    // Called on the transfer thread with the cumulative count of tail bytes written.
    using Progress = std::function<void(std::int64_t received)>;
    // Called exactly once, on the transfer thread (or on the thread calling cancel() or the
    // destructor): `error` is null and the tail lies at `destination`, or `error` holds a
    // BootstrapFailure.
    using Done = std::function<void(std::exception_ptr error)>;

    BootstrapDownload(BootstrapManifest manifest, std::filesystem::path destination,
                      Progress progress, const SystemContext& context = SystemContext::fromBuild());
    ~BootstrapDownload(); // cancels a running transfer and waits for its thread
    BootstrapDownload(const BootstrapDownload&) = delete;
    BootstrapDownload& operator=(const BootstrapDownload&) = delete;

    // Validates the manifest (throwing its failure synchronously, with no request made), then
    // starts the transfer. Call at most once.
    void fetch(Done done);
    // Any thread, any time: before, during or after the transfer.
    void cancel();

    const std::filesystem::path& destination() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace quorvane
