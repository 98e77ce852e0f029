#pragma once

#include <filesystem>
#include <string>

namespace quorvane::test {

// A stand-in for a platform tool: an executable script in `folder` that prints a chosen text on
// standard output (and another on standard error), then exits with a chosen status or is killed
// by a signal. It records its arguments and the LC_ALL it saw beside itself.
class FakeTool {
public:
    struct Behaviour {
        std::string out{};
        std::string err{};
        int status = 0;
        bool killed = false; // ends through SIGKILL instead of exiting
    };

    FakeTool(const std::filesystem::path& folder, const Behaviour& behaviour);

    const std::filesystem::path& path() const { return path_; }
    bool ran() const;
    // One argument per line, as received.
    std::string arguments() const;
    // The tool's LC_ALL, or "(unset)".
    std::string localeAll() const;

private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
};

} // namespace quorvane::test
