#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <QObject>

#include <quorvane/BuildConfig.h>

#include "InstallerPhase.h"
#include "Task.h"
#include "base/FileIo.h"
#include "download/BootstrapDownload.h"
#include "manifest/BootstrapManifest.h"
#include "manifest/SystemContext.h"

namespace quorvane {

// The one object that knows where the installation stands. Lives on the main thread and is
// owned through a shared_ptr (the view holds it; a running installation keeps it alive).
class BootstrapModel : public QObject, public std::enable_shared_from_this<BootstrapModel> {
    Q_OBJECT

public:
    // Everything the model takes from the outside world. The product uses fromBuild(); tests
    // hand in their own folders, tools, version source and termination hook.
    struct Environment {
        std::filesystem::path resources; // holds Payload.json and PackageBase.bin
        SystemContext system;            // tools, Applications folders, download CAs
        // Where the installed app is registered with the desktop (its entry and icon); empty
        // means no registration.
        std::filesystem::path desktopDataHome;
        std::filesystem::path temporaryDirectory; // parent of the staging folders
        config::PlatformDescriptor platform = config::platform;
        std::function<int()> osMajorVersion; // the running system's major version
        std::function<void()> terminate;     // ends the installer after the app opened
        // The proxy for the payload's URL; called off the main thread. None: a direct connection.
        std::function<DownloadProxy(const std::string& url)> proxy;
        // Waits and timeouts of the download (its proxy and reports are the model's).
        DownloadOptions download;

        // Resources/ next to the executable, the build's tools, the user's data folder and
        // temporary folder, the kernel's major version, QCoreApplication::quit, the desktop's
        // proxy.
        static Environment fromBuild();
    };

    static std::shared_ptr<BootstrapModel>
    create(Environment environment = Environment::fromBuild());
    ~BootstrapModel() override;

    const InstallerPhase& phase() const noexcept { return phase_; }
    std::int64_t received() const noexcept { return received_; }
    const std::optional<BootstrapManifest>& manifest() const noexcept { return manifest_; }
    const std::optional<std::filesystem::path>& stagingDirectory() const noexcept {
        return stagingDirectory_;
    }
    const std::optional<std::filesystem::path>& verifiedPackage() const noexcept {
        return verifiedPackage_;
    }
    const async::TaskHandle& operation() const noexcept { return operation_; }
    const Environment& environment() const noexcept { return environment_; }

    // Fraction of the package tail received, 0 to 1.
    double progress() const noexcept;
    // Whole decimal megabytes, halves away from zero.
    static std::int64_t megabytes(std::int64_t bytes) noexcept;

    // Checks the preconditions and starts an installation run; does nothing while one runs or
    // without a manifest.
    void start();
    // Removes the current attempt's staging folder and forgets it.
    void cleanStaging();
    // While downloading: shows or ends the wait to reconnect.
    void setReconnecting(bool reconnecting);
    // While downloading: shows or ends the wait for a silent network (a wait to reconnect
    // stays shown).
    void setWaitingForNetwork(bool waiting);

    // Every assignment is announced, equal values included. Used by the run, the download's
    // progress reports and tests.
    void setPhase(InstallerPhase phase);
    void setReceived(std::int64_t received);

    // Hands a download progress report (from any thread) to the main thread, where it sets
    // `received` if the model still exists and is downloading.
    static void postProgress(std::weak_ptr<BootstrapModel> model, std::int64_t count);

signals:
    void phaseChanged();
    void receivedChanged();

private:
    explicit BootstrapModel(Environment environment);

    static async::Task<void> run(std::weak_ptr<BootstrapModel> weak, BootstrapManifest manifest);
    async::Task<void> runSteps(BootstrapManifest manifest);
    async::Task<std::filesystem::path> downloadPackage(BootstrapManifest manifest);
    async::Task<void> openApp(std::filesystem::path url);

    Environment environment_;
    InstallerPhase phase_ = InstallerPhase::ready();
    std::int64_t received_ = 0;
    std::chrono::steady_clock::time_point created_ = std::chrono::steady_clock::now();
    std::optional<BootstrapManifest> manifest_;
    std::optional<std::filesystem::path> stagingDirectory_;
    std::optional<std::filesystem::path> verifiedPackage_;
    async::TaskHandle operation_;
    // Held for as long as the staging folder is this model's, so that other installers can tell
    // a live attempt from an abandoned one.
    FileDescriptor stagingLock_;
};

} // namespace quorvane
