#pragma once

// The Linux stand-in for the desktop's workspace: which app bundles are running, and opening one.
// A running app's bundle is the ".app" folder that holds its executable.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace quorvane::workspace {

struct RunningApplication {
    pid_t pid = 0;
    std::filesystem::path bundle;
};

// The nearest enclosing folder named "*.app" of an executable, or none.
std::optional<std::filesystem::path> enclosingBundle(const std::filesystem::path& executable);

// Processes of this user (any whose executable can be read) whose bundle's Info.plist names
// `bundleIdentifier`.
std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier);

// Opens the app at `bundle`: a running instance with the same bundle identifier answers;
// otherwise the bundle's executable is started detached, in its own session, and waited for
// until it runs (at most `wait`). Returns the bundle of the process that answered (none when it
// has none). Blocking. Throws std::system_error when the app cannot be started, and
// std::runtime_error when it ends before it is seen running.
std::optional<std::filesystem::path> openApplication(const std::filesystem::path& bundle,
                                                     std::chrono::milliseconds wait);

// Two bundle locations name the same bundle: equal after resolving links, with canonically
// equivalent Unicode spellings counted as equal.
bool sameBundle(const std::filesystem::path& a, const std::filesystem::path& b);

} // namespace quorvane::workspace
