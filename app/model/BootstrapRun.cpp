// The installation run: from `checking` to an opened app, or to one failure sentence.

#include "BootstrapModel.h"

#include "BootstrapFailure.h"
#include "BootstrapSystemInstaller.h"
#include "BootstrapVerification.h"
#include "Completion.h"
#include "DesktopEntry.h"
#include "DownloadAwait.h"
#include "MainThread.h"
#include "StagingFolders.h"
#include "Workspace.h"

// Every awaited operation is first stored in a named local: GCC 12 destroys some temporaries of
// a co_await full-expression twice.

namespace quorvane {
namespace {

namespace fs = std::filesystem;

// How long the opened app may take to show up as running.
constexpr std::chrono::seconds launchWait{10};

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

    // A failure while installing keeps the verified package for Retry.
    if (model->phase().kind() != InstallerPhase::Kind::installing)
        model->cleanStaging();
    const std::stop_token token = co_await async::currentStopToken();
    if (token.stop_requested())
        co_return;
    model->setPhase(InstallerPhase::failed(
        BootstrapFailure::classify(failure, BootstrapFailure::installation).message()));
}

async::Task<void> BootstrapModel::runSteps(BootstrapManifest manifest) {
    const SystemContext system = environment_.system;

    auto search = async::runInBackground(
        [manifest, system, temporary = environment_.temporaryDirectory](std::stop_token stop) {
            // Staging folders of installers that were killed hold no lock any more.
            removeAbandonedStagingFolders(temporary);
            auto found = BootstrapSystemInstaller::reusableApp(manifest, system, stop);
            // Rewrites an entry that went missing since the copy was installed.
            if (found)
                desktop::registerApp(*found, config::productBundleIdentifier,
                                     system.desktopDataHome);
            return found;
        });
    const auto reusable = co_await search;
    if (reusable) {
        auto open = openApp(*reusable);
        co_await std::move(open);
        cleanStaging();
        environment_.terminate();
        co_return;
    }

    if (!workspace::runningApplications(config::productBundleIdentifier).empty())
        throw BootstrapFailure::appRunning;

    co_await async::checkCancellation();

    fs::path package;
    if (verifiedPackage_) {
        package = *verifiedPackage_;
    } else {
        setPhase(InstallerPhase::downloading());
        auto download = downloadPackage(manifest);
        package = co_await std::move(download);
    }

    setPhase(InstallerPhase::verifying());
    auto verification = async::runInBackground([package, manifest, system](std::stop_token stop) {
        BootstrapVerification::verify(package, manifest, stop, system);
    });
    co_await verification;

    co_await async::checkCancellation();

    verifiedPackage_ = package;
    setPhase(InstallerPhase::installing());
    auto installation = async::runInBackground([package, manifest, system](std::stop_token stop) {
        const fs::path target = BootstrapSystemInstaller::applicationsDirectory(manifest, system);
        fs::path installed =
            BootstrapSystemInstaller::install(package, manifest, target, stop, system);
        desktop::registerApp(installed, config::productBundleIdentifier, system.desktopDataHome);
        return installed;
    });
    const fs::path installed = co_await installation;

    auto open = openApp(installed);
    co_await std::move(open);
    cleanStaging();
    environment_.terminate();
}

async::Task<fs::path> BootstrapModel::downloadPackage(BootstrapManifest manifest) {
    StagingFolder folder = createStagingFolder(environment_.temporaryDirectory);
    const fs::path staging = folder.path;
    stagingDirectory_ = staging;
    stagingLock_ = std::move(folder.lock);

    const fs::path package = staging / std::string(config::packageName);
    const fs::path target = manifest.embeddedPackageBytes ? staging / "Download.bin" : package;

    auto progress = [weak = weak_from_this()](std::int64_t count) { postProgress(weak, count); };
    BootstrapDownload download(manifest, target, std::move(progress), environment_.system);
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
        if (!answered || !workspace::sameBundle(*answered, url))
            throw BootstrapFailure::appRunning;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        throw BootstrapFailure::classify(failure, BootstrapFailure::launch);
}

} // namespace quorvane
