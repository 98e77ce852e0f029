#include "Spawn.h"

#include <cerrno>
#include <csignal>
#include <system_error>

#include <sys/wait.h>

extern char** environ;

namespace quorvane {
namespace {

void check(int error, const char* what) {
    if (error != 0)
        throw std::system_error(error, std::generic_category(), what);
}

} // namespace

SpawnActions::SpawnActions() {
    check(posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init");
}
SpawnActions::~SpawnActions() {
    posix_spawn_file_actions_destroy(&actions_);
}

void SpawnActions::open(int fd, const char* path, int flags) {
    check(posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0),
          "posix_spawn_file_actions_addopen");
}

void SpawnActions::dup2(int from, int to) {
    check(posix_spawn_file_actions_adddup2(&actions_, from, to),
          "posix_spawn_file_actions_adddup2");
}

void SpawnActions::closeFrom([[maybe_unused]] int lowest) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    check(posix_spawn_file_actions_addclosefrom_np(&actions_, lowest),
          "posix_spawn_file_actions_addclosefrom_np");
#endif
}

SpawnAttributes::SpawnAttributes(bool newSession) {
    check(posix_spawnattr_init(&attributes_), "posix_spawnattr_init");
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (newSession)
        flags |= POSIX_SPAWN_SETSID;
    check(posix_spawnattr_setflags(&attributes_, flags), "posix_spawnattr_setflags");
}
SpawnAttributes::~SpawnAttributes() {
    posix_spawnattr_destroy(&attributes_);
}

pid_t spawnProgram(const std::string& program, const std::vector<std::string>& args,
                   const SpawnActions& actions, const SpawnAttributes& attributes,
                   char* const* environment) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    check(::posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(),
                        environment ? environment : environ),
          "posix_spawn");
    return pid;
}

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waitpid");
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    // Death by a signal: the shell's convention, never 0.
    return 128 + WTERMSIG(status);
}

} // namespace quorvane
