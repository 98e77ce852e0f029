#include "AppBundle.h"

#include "TempDir.h"

#include <chrono>
#include <csignal>
#include <thread>

#include <sys/types.h>

namespace quorvane::test {

namespace fs = std::filesystem;

void makeAppBundle(const fs::path& bundle, const BundleInfo& info, const fs::path& program) {
    fs::create_directories(bundle / "Contents" / "MacOS");
    fs::create_directories(bundle / "Contents" / "Resources");
    writeFile(bundle / "Contents" / "Resources" / info.iconFile,
              R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 64 64">)"
              R"(<rect width="64" height="64" rx="14" fill="#1f5c99"/></svg>)"
              "\n");
    fs::copy_file(program, bundle / "Contents" / "MacOS" / info.executable,
                  fs::copy_options::overwrite_existing);
    writeFile(bundle / "Contents" / "Info.plist",
              R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>)" +
                  info.identifier + R"(</string>
  <key>CFBundleExecutable</key><string>)" +
                  info.executable + R"(</string>
  <key>CFBundleShortVersionString</key><string>)" +
                  info.version + R"(</string>
  <key>CFBundleVersion</key><string>)" +
                  info.build + R"(</string>
  <key>CFBundleIconFile</key><string>)" +
                  info.iconFile + R"(</string>
</dict>
</plist>
)");
}

int stopAppsIn(const fs::path& bundle) {
    std::error_code ec;
    const auto root = fs::weakly_canonical(bundle, ec).string() + "/";
    int stopped = 0;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code linkError;
        const auto exe = fs::read_symlink(it->path() / "exe", linkError).string();
        if (linkError || exe.rfind(root, 0) != 0)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        ::kill(pid, SIGKILL);
        ++stopped;
        // Wait until it is gone (reaped by its parent or by init) so that no later scan sees it.
        for (int i = 0; i < 400 && fs::exists(it->path() / "exe", linkError) &&
                        !fs::read_symlink(it->path() / "exe", linkError).empty() && !linkError;
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return stopped;
}

} // namespace quorvane::test
