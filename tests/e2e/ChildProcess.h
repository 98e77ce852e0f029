#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quorvane::test {

// A child process started with an argument vector (no shell) and the test's environment plus
// `environment`. Standard output and error go to `log` (or /dev/null). `extraFd`, when set, is
// handed to the child as its descriptor 3. Killed and reaped when the object goes away.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment = {},
                 const std::filesystem::path& log = {}, std::optional<int> extraFd = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return pid_; }
    // The exit status (128 + signal when killed), once it has ended within `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit);
    bool running();
    void kill(int signal);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace quorvane::test
