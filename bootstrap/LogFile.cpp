#include "LogFile.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileIo.h"
#include "SystemInstallerDetail.h"

namespace quorvane::diagnostics {
namespace {

namespace fs = std::filesystem;

bool writeWhole(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The folder, made with its missing parents, owner-only; a link in its place is never followed.
FileDescriptor openFolder(const fs::path& folder) {
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir || errno != ENOENT)
        return dir;
    fs::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return {};
    }
    dir = FileDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir)
        ::fchmod(dir.get(), 0700);
    return dir;
}

} // namespace

LogFile::LogFile(fs::path folder, bool echo) : folder_(std::move(folder)), echo_(echo) {}

fs::path LogFile::defaultFolder() {
    try {
        if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
            return fs::path(state) / "quorvane-installer";
        const fs::path home = BootstrapSystemInstaller::detail::homeDirectory();
        if (home.empty())
            return {};
        return home / ".local" / "state" / "quorvane-installer";
    } catch (...) {
        return {};
    }
}

void LogFile::append(std::string_view line) noexcept {
    if (echo_)
        writeWhole(STDERR_FILENO, line);
    if (folder_.empty())
        return;
    try {
        const FileDescriptor dir = openFolder(folder_);
        if (!dir)
            return;
        const std::string name(fileName);
        // Another installer may rotate the file between our open and our lock: then the name
        // holds a new file and we start again.
        for (int attempt = 0; attempt < 4; ++attempt) {
            FileDescriptor file(::openat(dir.get(), name.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                                         0600));
            if (!file)
                return;
            int locked;
            while ((locked = ::flock(file.get(), LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (locked != 0)
                return;
            struct stat held {};
            struct stat named {};
            if (::fstat(file.get(), &held) != 0 || !S_ISREG(held.st_mode) ||
                held.st_uid != ::geteuid())
                return;
            if (::fstatat(dir.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
                named.st_ino != held.st_ino || named.st_dev != held.st_dev)
                continue;
            if ((held.st_mode & 07777) != 0600)
                ::fchmod(file.get(), 0600);
            const auto size = static_cast<std::uint64_t>(held.st_size);
            if (size > 0 && size + line.size() > rotationBytes) {
                // Under the lock of the file that goes, so no one appends to it meanwhile.
                const std::string previous(previousName);
                if (::renameat(dir.get(), name.c_str(), dir.get(), previous.c_str()) != 0)
                    return;
                continue;
            }
            writeWhole(file.get(), line);
            return;
        }
    } catch (...) {
        // Logging never changes an outcome.
    }
}

} // namespace quorvane::diagnostics
