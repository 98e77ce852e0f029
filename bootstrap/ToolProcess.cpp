#include "ToolProcess.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FileIo.h"

extern char** environ;

namespace quorvane {
namespace {

class SpawnActions {
public:
    SpawnActions() { check(posix_spawn_file_actions_init(&actions_)); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    void dup2(int from, int to) { check(posix_spawn_file_actions_adddup2(&actions_, from, to)); }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    static void check(int rc) {
        if (rc != 0)
            throw std::system_error(rc, std::generic_category(), "posix_spawn_file_actions");
    }
    posix_spawn_file_actions_t actions_;
};

// The tool starts with default signal handling and nothing blocked, whatever this process set.
class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

std::string_view nameOf(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view name = nameOf(*entry);
        bool replaced = false;
        for (const auto& o : overrides)
            replaced = replaced || nameOf(o) == name;
        if (!replaced)
            merged.emplace_back(*entry);
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throwErrno("waitpid");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int runReadingOutput(const std::string& tool, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment,
                     const std::function<void(std::string_view)>& output) {
    // Close-on-exec, so that children started meanwhile by other threads do not keep the
    // writing end open and delay end of file.
    std::array<int, 2> ends{};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0)
        throwErrno("pipe2");
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);

    SpawnActions actions;
    actions.dup2(writeEnd.get(), STDOUT_FILENO);
    actions.dup2(writeEnd.get(), STDERR_FILENO);
    SpawnAttributes attributes;

    std::vector<std::string> argStrings{tool};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = mergedEnvironment(environment);
    const auto argv = pointersTo(argStrings);
    const auto envp = pointersTo(envStrings);

    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, tool.c_str(), actions.get(), attributes.get(), argv.data(),
                                 envp.data());
    if (rc != 0)
        throw std::system_error(rc, std::generic_category(), "posix_spawn");
    writeEnd.reset();

    try {
        std::array<char, 64 * 1024> buffer;
        for (std::size_t n; (n = readSome(readEnd.get(), buffer)) > 0;)
            output(std::string_view(buffer.data(), n));
    } catch (...) {
        readEnd.reset(); // the tool then fails its next write instead of blocking
        waitFor(pid);
        throw;
    }
    return waitFor(pid);
}

} // namespace quorvane
