// The installation run: from `checking` to an opened app, or to one failure sentence.

#include "BootstrapModel.h"

#include "Completion.h"
#include "DownloadAwait.h"
#include "MainThread.h"
#include "Workspace.h"
#include "base/Diagnostics.h"
#include "desktop/DesktopEntry.h"
#include "install/BootstrapSystemInstaller.h"
#include "manifest/BootstrapFailure.h"
#include "manifest/ErrorChain.h"
#include "package/BootstrapVerification.h"
#include "staging/DiskSpace.h"
#include "staging/StagingFolders.h"

// Every awaited operation is first stored in a named local: GCC 12 destroys some temporaries of
// a co_await full-expression twice.

namespace quorvane {
namespace {

namespace fs = std::filesystem;

// How long the opened app may take to show up as running.
constexpr std::chrono::seconds launchWait{10};

// Where the download puts the tail in a staging folder.
fs::path tailIn(const fs::path& staging, const BootstrapManifest& manifest) {
    return manifest.embeddedPackageBytes ? staging / "Download.bin"
                                         : staging / std::string(config::packageName);
}

} // namespace

async::Task<void> BootstrapModel::run(std::weak_ptr<BootstrapModel> weak,
                                      BootstrapManifest manifest) {
    const std::shared_ptr<BootstrapModel> model = weak.lock();
    if (!model)
        co_return;

    std::exception_ptr failure;
    try {
        auto steps = model->runSteps(std::move(manifest));
        co_await std::move(steps);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure)
        co_return;

    // A failure while installing keeps the verified package for Retry, and a download that
    // failed on the network or for space keeps its partial tail for Retry to continue.
    const BootstrapFailure kind =
        BootstrapFailure::classify(failure, BootstrapFailure::installation);
    diagnostics::record("run failed: \"" + kind.message() + "\"\n" +
                        diagnostics::describeChain(failure));
    const auto& staging = model->stagingDirectory();
    const bool keepsTail = model->phase().kind() == InstallerPhase::Kind::downloading &&
                           BootstrapDownload::keepsPartialTail(kind) && staging &&
                           model->manifest() &&
                           BootstrapDownload::resumableBytes(tailIn(*staging, *model->manifest()),
                                                             *model->manifest()) > 0;
    if (model->phase().kind() != InstallerPhase::Kind::installing && !keepsTail)
        model->cleanStaging();
    const std::stop_token token = co_await async::currentStopToken();
    if (token.stop_requested())
        co_return;
    model->setPhase(InstallerPhase::failed(kind.message()));
}

async::Task<void> BootstrapModel::runSteps(BootstrapManifest manifest) {
    const SystemContext system = environment_.system;

    // A folder kept by a failed download of this run holds the tail to continue; else the sweep
    // may adopt a killed installer's folder whose kept tail was recorded for this payload.
    const bool holdsTail = stagingDirectory_.has_value();
    struct Found {
        std::optional<StagingFolder> adopted;
        std::optional<fs::path> reusable;
    };
    auto search = async::runInBackground(
        [manifest, system, holdsTail, dataHome = environment_.desktopDataHome,
         temporary = environment_.temporaryDirectory](std::stop_token stop) -> Found {
            // Staging folders of installers that were killed hold no lock any more.
            Found found;
            if (holdsTail)
                removeAbandonedStagingFolders(temporary);
            else
                found.adopted = removeAbandonedStagingFolders(temporary, [&](const fs::path& f) {
                    return BootstrapDownload::resumableBytes(tailIn(f, manifest), manifest) > 0;
                });
            found.reusable = BootstrapSystemInstaller::reusableApp(manifest, system, stop);
            // Rewrites an entry that went missing since the copy was installed.
            if (found.reusable)
                desktop::registerApp(*found.reusable, config::productBundleIdentifier, dataHome);
            return found;
        });
    Found found = co_await search;
    if (found.adopted) {
        stagingDirectory_ = std::move(found.adopted->path);
        stagingLock_ = std::move(found.adopted->lock);
    }
    const auto& reusable = found.reusable;
    if (reusable) {
        auto open = openApp(*reusable);
        co_await std::move(open);
        cleanStaging();
        environment_.terminate();
        co_return;
    }

    if (const auto running = workspace::runningApplications(config::productBundleIdentifier);
        !running.empty()) {
        for (const auto& app : running)
            diagnostics::record("the product runs as process " + std::to_string(app.pid) +
                                " from " + app.bundle.string());
        throw BootstrapFailure::appRunning;
    }

    co_await async::checkCancellation();

    fs::path package;
    if (verifiedPackage_) {
        package = *verifiedPackage_;
    } else {
        setPhase(InstallerPhase::downloading());
        auto download = downloadPackage(manifest);
        package = co_await std::move(download);
    }

    // A fresh download already shows it (the tail was assembled meanwhile).
    if (phase_.kind() != InstallerPhase::Kind::verifying)
        setPhase(InstallerPhase::verifying());
    auto verification = async::runInBackground([package, manifest, system](std::stop_token stop) {
        BootstrapVerification::verify(package, manifest, stop, system);
    });
    co_await verification;

    co_await async::checkCancellation();

    verifiedPackage_ = package;
    setPhase(InstallerPhase::installing());
    auto installation = async::runInBackground(
        [package, manifest, system, dataHome = environment_.desktopDataHome](std::stop_token stop) {
            const fs::path target =
                BootstrapSystemInstaller::applicationsDirectory(manifest, system);
            fs::path installed =
                BootstrapSystemInstaller::install(package, manifest, target, stop, system);
            desktop::registerApp(installed, config::productBundleIdentifier, dataHome);
            return installed;
        });
    const fs::path installed = co_await installation;

    auto open = openApp(installed);
    co_await std::move(open);
    cleanStaging();
    environment_.terminate();
}

async::Task<fs::path> BootstrapModel::downloadPackage(BootstrapManifest manifest) {
    // The folder that a failed download left keeps its partial tail; Retry continues it.
    std::error_code missing;
    const bool kept = stagingDirectory_ && fs::is_directory(*stagingDirectory_, missing);
    const std::uint64_t held =
        kept ? BootstrapDownload::resumableBytes(tailIn(*stagingDirectory_, manifest), manifest)
             : 0;
    // The tail grows into the whole package in place, so the package must fit, less what is
    // already held.
    requireRoom(environment_.temporaryDirectory,
                static_cast<std::uint64_t>(manifest.payloadBytes) - held);
    if (!kept) {
        cleanStaging();
        StagingFolder folder = createStagingFolder(environment_.temporaryDirectory);
        stagingDirectory_ = folder.path;
        stagingLock_ = std::move(folder.lock);
    }
    const fs::path staging = *stagingDirectory_;

    const fs::path package = staging / std::string(config::packageName);
    const fs::path target = tailIn(staging, manifest);

    DownloadOptions options = environment_.download;
    if (environment_.proxy) {
        auto lookup =
            async::runInBackground([resolve = environment_.proxy, url = manifest.payloadURL](
                                       std::stop_token) { return resolve(url); });
        options.proxy = co_await lookup;
        co_await async::checkCancellation();
    }
    options.reconnecting = [weak = weak_from_this()](bool waiting) {
        async::postToMainThread([weak, waiting] {
            if (const auto model = weak.lock())
                model->setReconnecting(waiting);
        });
    };

    options.waitingForNetwork = [weak = weak_from_this()](bool waiting) {
        async::postToMainThread([weak, waiting] {
            if (const auto model = weak.lock())
                model->setWaitingForNetwork(waiting);
        });
    };

    auto progress = [weak = weak_from_this()](std::int64_t count) { postProgress(weak, count); };
    BootstrapDownload download(manifest, target, std::move(progress), environment_.system,
                               std::move(options));
    auto transfer = async::fetch(download);
    co_await transfer;

    co_await async::checkCancellation();
    setPhase(InstallerPhase::verifying());

    if (!manifest.embeddedPackageBytes)
        co_return package;

    const fs::path prefix = environment_.resources / "PackageBase.bin";
    std::error_code ec;
    if (!fs::is_regular_file(prefix, ec))
        throw BootstrapFailure::configuration;
    auto assembly =
        async::runInBackground([prefix, target, package, manifest](std::stop_token stop) {
            BootstrapVerification::assemble(prefix, target, package, manifest, stop);
        });
    co_await assembly;
    co_return package;
}

void BootstrapModel::postProgress(std::weak_ptr<BootstrapModel> weak, std::int64_t count) {
    // Each report is a task of its own on the main thread and holds the model only weakly.
    async::postToMainThread([weak = std::move(weak), count] {
        const auto model = weak.lock();
        if (model && model->phase().kind() == InstallerPhase::Kind::downloading)
            model->setReceived(count);
    });
}

async::Task<void> BootstrapModel::openApp(fs::path url) {
    co_await async::checkCancellation();
    std::exception_ptr failure;
    try {
        auto launch = async::runInBackground(
            [url](std::stop_token) { return workspace::openApplication(url, launchWait); });
        const auto answered = co_await launch;
        if (answered)
            diagnostics::record("open: " + url.string() + " answered by the copy at " +
                                answered->string());
        else
            diagnostics::record("open: " + url.string() + " did not show up as running");
        if (!answered || !workspace::sameBundle(*answered, url))
            throw BootstrapFailure::appRunning;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        throw BootstrapFailure::classify(failure, BootstrapFailure::launch);
}

} // namespace quorvane
