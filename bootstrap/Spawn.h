#pragma once

// Starting child processes with posix_spawn and an argument vector: never a shell. A child
// starts with nothing blocked and the default SIGPIPE, whatever this process has set up.

#include <string>
#include <vector>

#include <spawn.h>
#include <sys/types.h>

namespace quorvane {

class SpawnActions {
public:
    SpawnActions();
    ~SpawnActions();
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    void open(int fd, const char* path, int flags);
    void dup2(int from, int to);
    // Closes every descriptor from `lowest` up in the child (where the C library can).
    void closeFrom(int lowest);
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    // `newSession`: the child leads a session of its own (it outlives us, detached).
    explicit SpawnAttributes(bool newSession = false);
    ~SpawnAttributes();
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// Starts `program` with argv[0] = program and then `args`; `environment` is the whole
// environment, or this process's when null. Throws the platform error when it cannot start.
pid_t spawnProgram(const std::string& program, const std::vector<std::string>& args,
                   const SpawnActions& actions, const SpawnAttributes& attributes,
                   char* const* environment = nullptr);

// Waits for the child to end: its exit status, or 128 + the signal that ended it.
int waitForExit(pid_t pid);

} // namespace quorvane
