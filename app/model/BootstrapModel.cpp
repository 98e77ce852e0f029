#include "BootstrapModel.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <system_error>

#include <sys/utsname.h>
#include <unistd.h>

#include <QCoreApplication>

#include "ProxyResolver.h"
#include "base/Diagnostics.h"
#include "desktop/UserFolders.h"
#include "manifest/BootstrapFailure.h"
#include "manifest/ErrorChain.h"

namespace quorvane {
namespace {

int kernelMajorVersion() {
    utsname name{};
    if (::uname(&name) != 0)
        return 0;
    return std::atoi(name.release);
}

std::string kernelText() {
    utsname name{};
    if (::uname(&name) != 0)
        return "unknown";
    return std::string(name.sysname) + " " + name.release + " " + name.version + " " + name.machine;
}

// The whole manifest resource, refusing anything larger than a manifest can be.
std::optional<std::string> readResource(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text;
    char buffer[64 * 1024];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > BootstrapManifest::maxDocumentBytes)
            return std::nullopt;
    }
    if (in.bad())
        return std::nullopt;
    return text;
}

std::optional<BootstrapManifest> loadManifest(const std::filesystem::path& resources) {
    const auto refuse = [](const std::string& why) -> std::optional<BootstrapManifest> {
        diagnostics::record("manifest: " + why);
        return std::nullopt;
    };
    // Only the folder beside the executable counts: a relative or empty path would take the
    // manifest from wherever the installer happens to be started.
    if (!resources.is_absolute())
        return refuse("no resource folder beside the executable");
    const auto file = resources / "Payload.json";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return refuse(file.string() + " is not a file");
    const auto text = readResource(file);
    if (!text)
        return refuse(file.string() + " cannot be read or is too large");
    try {
        auto manifest = BootstrapManifest::decode(*text);
        manifest.validate();
        if (!manifest.pinsInstalledApp())
            return refuse("invalid: installedAppCDHash is missing");
        diagnostics::record("manifest: version " + manifest.version + ", build " + manifest.build +
                            ", payload from " + diagnostics::hostOf(manifest.payloadURL) + ", " +
                            std::to_string(manifest.payloadBytes) + " bytes");
        return manifest;
    } catch (...) {
        // Any fault of the resource is a configuration failure; the cause is not shown.
        return refuse("cannot be used:\n" + diagnostics::describeChain(std::current_exception()));
    }
}

} // namespace

BootstrapModel::Environment BootstrapModel::Environment::fromBuild() {
    std::error_code ec;
    auto temporary = std::filesystem::temp_directory_path(ec);
    if (ec)
        temporary = "/tmp";
    const std::filesystem::path executable = executableFolder();
    return Environment{
        .resources = executable.empty() ? std::filesystem::path() : executable / "Resources",
        .system = SystemContext::fromBuild(),
        .desktopDataHome = desktop::dataHome(),
        .temporaryDirectory = temporary,
        .platform = config::platform,
        .osMajorVersion = kernelMajorVersion,
        .terminate = [] { QCoreApplication::quit(); },
        .proxy = [](const std::string& url) { return proxy::resolve(url); },
        .download = {},
    };
}

std::shared_ptr<BootstrapModel> BootstrapModel::create(Environment environment) {
    return std::shared_ptr<BootstrapModel>(new BootstrapModel(std::move(environment)));
}

BootstrapModel::BootstrapModel(Environment environment) : environment_(std::move(environment)) {
    diagnostics::record("installer " + std::string(config::installerVersion) + " (build " +
                        std::string(config::installerBuild) + "), for " +
                        std::string(environment_.platform.name) + ", on " + kernelText());
    manifest_ = loadManifest(environment_.resources);
    if (!manifest_)
        phase_ = InstallerPhase::failed(BootstrapFailure::configuration.message());
}

BootstrapModel::~BootstrapModel() = default;

double BootstrapModel::progress() const noexcept {
    const std::uint64_t expected =
        manifest_ ? std::max<std::uint64_t>(manifest_->tailBytes(), 1) : 1;
    return std::min(static_cast<double>(received_) / static_cast<double>(expected), 1.0);
}

std::int64_t BootstrapModel::megabytes(std::int64_t bytes) noexcept {
    return static_cast<std::int64_t>(std::round(static_cast<double>(bytes) / 1'000'000.0));
}

void BootstrapModel::setPhase(InstallerPhase phase) {
    const auto now = std::chrono::steady_clock::now();
    diagnostics::record(
        "phase: " + describe(phase) + " at " +
        std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - created_).count()) +
        " ms");
    phase_ = std::move(phase);
    emit phaseChanged();
}

void BootstrapModel::setReceived(std::int64_t received) {
    received_ = received;
    emit receivedChanged();
}

void BootstrapModel::setReconnecting(bool reconnecting) {
    using Connection = InstallerPhase::Connection;
    if (phase_.kind() == InstallerPhase::Kind::downloading && phase_.reconnecting() != reconnecting)
        setPhase(InstallerPhase::downloading(reconnecting ? Connection::reconnecting
                                                          : Connection::flowing));
}

void BootstrapModel::setWaitingForNetwork(bool waiting) {
    using Connection = InstallerPhase::Connection;
    if (phase_.kind() == InstallerPhase::Kind::downloading && !phase_.reconnecting() &&
        phase_.waitingForNetwork() != waiting)
        setPhase(InstallerPhase::downloading(waiting ? Connection::waitingForNetwork
                                                     : Connection::flowing));
}

void BootstrapModel::start() {
    if (!manifest_ || phase_.isWorking())
        return;
    const int major = environment_.osMajorVersion ? environment_.osMajorVersion() : 0;
    if (major < environment_.platform.minimumMajorVersion) {
        setPhase(InstallerPhase::failed(
            BootstrapFailure::unsupportedSystemMessage(environment_.platform)));
        return;
    }
    setReceived(0);
    setPhase(InstallerPhase::checking());
    operation_ = async::TaskHandle::spawn(run(weak_from_this(), *manifest_));
}

void BootstrapModel::cleanStaging() {
    if (stagingDirectory_)
        removeTree(*stagingDirectory_);
    stagingDirectory_.reset();
    verifiedPackage_.reset();
    stagingLock_.reset();
}

} // namespace quorvane
