#include "BootstrapSystemInstaller.h"

#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace quorvane::BootstrapSystemInstaller {
namespace {

// posix_spawn's helper objects, released on every way out.
struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() {
        if (const int error = posix_spawn_file_actions_init(&actions))
            throw std::system_error(error, std::generic_category(),
                                    "posix_spawn_file_actions_init");
    }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() {
        if (const int error = posix_spawnattr_init(&attributes))
            throw std::system_error(error, std::generic_category(), "posix_spawnattr_init");
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

void check(int error, const char* what) {
    if (error)
        throw std::system_error(error, std::generic_category(), what);
}

} // namespace

int run(const std::string& tool, const std::vector<std::string>& args) {
    SpawnActions spawn;
    // Nothing the tool prints is read, so it can never block on a full pipe.
    check(posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0),
          "posix_spawn_file_actions_addopen");
    check(posix_spawn_file_actions_adddup2(&spawn.actions, STDOUT_FILENO, STDERR_FILENO),
          "posix_spawn_file_actions_adddup2");
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors of other threads that lack close-on-exec must not reach the tool either: a
    // tool that outlives us must never keep a folder lock alive.
    check(posix_spawn_file_actions_addclosefrom_np(&spawn.actions, STDERR_FILENO + 1),
          "posix_spawn_file_actions_addclosefrom_np");
#endif

    // The tool starts with no blocked signals and the default SIGPIPE, whatever this thread
    // or a library of ours has set up.
    SpawnAttributes attributes;
    sigset_t none;
    sigset_t pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    check(posix_spawnattr_setsigmask(&attributes.attributes, &none), "posix_spawnattr_setsigmask");
    check(posix_spawnattr_setsigdefault(&attributes.attributes, &pipe),
          "posix_spawnattr_setsigdefault");
    check(posix_spawnattr_setflags(&attributes.attributes,
                                   POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
          "posix_spawnattr_setflags");

    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    check(posix_spawn(&pid, tool.c_str(), &spawn.actions, &attributes.attributes, argv.data(),
                      environ),
          "posix_spawn");

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waitpid");
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    // Death by a signal: the shell's convention, never 0.
    return 128 + WTERMSIG(status);
}

} // namespace quorvane::BootstrapSystemInstaller
