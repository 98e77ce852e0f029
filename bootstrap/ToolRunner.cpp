#include "BootstrapSystemInstaller.h"

#include <fcntl.h>
#include <unistd.h>

#include "Spawn.h"

namespace quorvane::BootstrapSystemInstaller {

int run(const std::string& tool, const std::vector<std::string>& args, std::stop_token stop) {
    SpawnActions actions;
    actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    // Nothing the tool prints is read, so it can never block on a full pipe.
    actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
    actions.dup2(STDOUT_FILENO, STDERR_FILENO);
    // Descriptors of other threads that lack close-on-exec must not reach the tool either: a
    // tool that outlives us must never keep a folder lock alive.
    actions.closeFrom(STDERR_FILENO + 1);
    // A group of its own: a cancelled run ends the tool and whatever the tool started.
    const SpawnAttributes attributes(/*newSession=*/false, /*ownGroup=*/true);
    return waitForExit(spawnProgram(tool, args, actions, attributes), std::move(stop));
}

} // namespace quorvane::BootstrapSystemInstaller
