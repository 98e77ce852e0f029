#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "ChildProcess.h"

namespace quorvane::test {

// An Xvfb on a display number it picks itself, stopped when the object goes away (and killed
// with the test process if that dies first).
class XServer {
public:
    XServer(); // throws std::runtime_error when it does not come up
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    const std::string& display() const noexcept { return display_; }

private:
    std::unique_ptr<ChildProcess> process_;
    std::string display_;
};

// The launcher the end-to-end tests start every child through (tests/e2e/in_home.cpp).
std::filesystem::path launcher();

} // namespace quorvane::test
