#include "Workspace.h"

#include <cerrno>
#include <charconv>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>

#include <quorvane/BuildConfig.h>

#include "base/InfoPlist.h"
#include "base/Spawn.h"

namespace quorvane::workspace {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> executableOf(pid_t pid) {
    std::error_code ec;
    auto exe = fs::read_symlink(fs::path("/proc") / std::to_string(pid) / "exe", ec);
    if (ec)
        return std::nullopt;
    return exe;
}

std::optional<std::string> bundleIdentifier(const fs::path& bundle) {
    const auto info = InfoPlist::read(bundle);
    return info ? info->string("CFBundleIdentifier") : std::nullopt;
}

// Starts `executable` in a session of its own, with no terminal streams and none of our
// descriptors: the app outlives the installer.
pid_t spawnDetached(const fs::path& executable) {
    SpawnActions actions;
    actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
    actions.open(STDERR_FILENO, "/dev/null", O_WRONLY);
    actions.closeFrom(STDERR_FILENO + 1);
    const SpawnAttributes attributes(/*newSession=*/true);
    return spawnProgram(executable.string(), {}, actions, attributes);
}

} // namespace

std::optional<fs::path> enclosingBundle(const fs::path& executable) {
    for (fs::path dir = executable.parent_path(); dir.has_relative_path(); dir = dir.parent_path())
        if (dir.extension() == ".app")
            return dir;
    return std::nullopt;
}

std::vector<RunningApplication> runningApplications(std::string_view identifier) {
    std::vector<RunningApplication> found;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        pid_t pid = 0;
        const auto [ptr, err] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (err != std::errc() || ptr != name.data() + name.size())
            continue;
        const auto exe = executableOf(pid);
        if (!exe)
            continue;
        const auto bundle = enclosingBundle(*exe);
        if (bundle && bundleIdentifier(*bundle) == identifier)
            found.push_back({pid, *bundle});
    }
    return found;
}

std::optional<fs::path> openApplication(const fs::path& bundle, std::chrono::milliseconds wait) {
    const auto info = InfoPlist::read(bundle);
    const std::string identifier = (info ? info->string("CFBundleIdentifier") : std::nullopt)
                                       .value_or(std::string(config::productBundleIdentifier));
    // Never a second instance: a running one is the one that answers.
    if (const auto running = runningApplications(identifier); !running.empty())
        return running.front().bundle;

    const auto executableName = info ? info->string("CFBundleExecutable") : std::nullopt;
    if (!executableName || executableName->empty() ||
        executableName->find('/') != std::string::npos)
        throw std::system_error(ENOENT, std::generic_category(), "no executable in the bundle");
    const fs::path executable = bundle / "Contents" / "MacOS" / *executableName;
    const pid_t pid = spawnDetached(executable);

    // Seen running once its process image is the bundle's executable. The child is reaped by a
    // thread of its own so that it never lingers as a zombie of the installer.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::optional<fs::path> answered;
    bool exited = false;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        if (const auto exe = executableOf(pid)) {
            answered = enclosingBundle(*exe);
            if (answered)
                break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (exited)
        throw std::runtime_error("the app ended as soon as it started");
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return answered;
}

bool sameBundle(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    const auto resolvedA = fs::weakly_canonical(a, ec);
    if (ec)
        return false;
    const auto resolvedB = fs::weakly_canonical(b, ec);
    if (ec)
        return false;
    const auto normal = [](const fs::path& p) {
        return QString::fromStdString(p.string()).normalized(QString::NormalizationForm_C);
    };
    return normal(resolvedA) == normal(resolvedB);
}

} // namespace quorvane::workspace
