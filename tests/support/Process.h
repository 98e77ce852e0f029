#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::test {

// Runs argv[0] (searched on PATH) with the arguments, no shell, and returns its exit status
// (128 + signal number when it was killed). Output goes to /dev/null unless `output` is given,
// which then receives standard output and standard error together.
int runCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

// Runs `work` in a forked child, so that a test of something that could hang ends in time:
// the child's exit status (0 when `work` returned, 1 when it threw), or nullopt when it had not
// ended within `limit` and was killed.
std::optional<int> runForked(const std::function<void()>& work,
                             std::chrono::milliseconds limit = std::chrono::seconds(20));

// Writes an executable script (a fake tool) and returns its path.
std::filesystem::path writeScript(const std::filesystem::path& path, const std::string& body);

// Makes a fresh signing authority in `dir` (see tools/authority/make-authority).
void makeAuthority(const std::filesystem::path& dir, const std::string& team = "Q4ZT8WX2LM",
                   const std::string& name = "Quorvane Labs",
                   const std::string& rootName = "Quorvane Test Root CA");

} // namespace quorvane::test
