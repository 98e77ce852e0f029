#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// The system installer's operation of that name, here so that every room that runs a tool finds it.
namespace BootstrapSystemInstaller {

// Starts `tool` with `args` (no shell), input from and output to /dev/null, and returns its exit
// status once it has ended; death by a signal is a non-zero status. Throws the platform error
// when the tool cannot be started. When `stop` is requested while the tool runs, the tool is
// sent SIGTERM, then SIGKILL after two seconds, and CancellationError is thrown; otherwise the
// run waits as long as the tool takes.
int run(const std::string& tool, const std::vector<std::string>& args, std::stop_token stop = {});

} // namespace BootstrapSystemInstaller

// Starts `tool` with `args` (no shell) and this process's environment, in which each
// "NAME=value" of `environment` replaces any earlier value of NAME. The tool's standard output
// and standard error share one pipe; `output` receives every piece read from it until end of
// file, and only then is the tool waited for, so a tool that prints a lot cannot stall.
// Returns the exit status, or 128 + the signal number when a signal ended the tool. Throws the
// platform error (std::system_error) when the tool cannot be started. A stop request while the
// tool runs ends it as `run` does (SIGTERM, SIGKILL after two seconds) and throws
// CancellationError.
int runReadingOutput(const std::string& tool, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment,
                     const std::function<void(std::string_view)>& output,
                     std::stop_token stop = {});

} // namespace quorvane
