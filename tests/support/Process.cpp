#include "Process.h"

#include "TempDir.h"

#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace quorvane::test {

std::optional<int> runForked(const std::function<void()>& work, std::chrono::milliseconds limit) {
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::system_error(errno, std::generic_category(), "fork");
    if (pid == 0) {
        int status = 0;
        try {
            work();
        } catch (...) {
            status = 1;
        }
        ::_exit(status);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "waitpid");
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return std::nullopt;
}

int runCommand(const std::vector<std::string>& argv, std::string* output) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (output && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output)
        ::close(pipeFds[1]);
    if (rc != 0) {
        if (output)
            ::close(pipeFds[0]);
        throw std::system_error(rc, std::generic_category(), "spawn " + argv.at(0));
    }
    if (output) {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                output->append(buffer, static_cast<size_t>(n));
        ::close(pipeFds[0]);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

std::filesystem::path writeScript(const std::filesystem::path& path, const std::string& body) {
    writeFile(path, body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::group_exec);
    return path;
}

void makeAuthority(const std::filesystem::path& dir, const std::string& team,
                   const std::string& name, const std::string& rootName) {
    const std::string script = std::string(QUORVANE_SOURCE_DIR) + "/tools/authority/make-authority";
    if (runCommand({script, dir.string(), team, name, rootName}) != 0)
        throw std::runtime_error("make-authority failed");
}

} // namespace quorvane::test
