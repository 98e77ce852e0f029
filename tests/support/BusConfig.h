#pragma once

#include <filesystem>
#include <string_view>

namespace quorvane::test {

// Writes a session bus configuration to `file` that listens on `listen` (a D-Bus address such
// as "unix:path=/tmp/x/bus") and names no service folder but `services`, the test's own when
// given: nothing installed on the machine, such as a desktop portal, can be started on demand
// inside a test's private bus.
void writePrivateBusConfig(const std::filesystem::path& file, std::string_view listen,
                           const std::filesystem::path& services = {});

} // namespace quorvane::test
