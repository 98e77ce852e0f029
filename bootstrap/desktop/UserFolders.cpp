#include "desktop/UserFolders.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace quorvane::desktop {
namespace {

namespace fs = std::filesystem;

// The variable's value when it is an absolute path, else the home folder's `fallback`.
fs::path xdgFolder(const char* variable, const fs::path& fallback) {
    if (const char* configured = std::getenv(variable)) {
        const fs::path path(configured);
        if (path.is_absolute())
            return path;
    }
    const fs::path home = homeDirectory();
    return home.empty() ? fs::path() : home / fallback;
}

} // namespace

fs::path homeDirectory() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found || !found->pw_dir || found->pw_dir[0] != '/')
        return {};
    return found->pw_dir;
}

fs::path dataHome() {
    return xdgFolder("XDG_DATA_HOME", ".local/share");
}

fs::path stateHome() {
    return xdgFolder("XDG_STATE_HOME", ".local/state");
}

} // namespace quorvane::desktop
