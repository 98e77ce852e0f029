#include "log/LogFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/FileIo.h"
#include "desktop/UserFolders.h"

namespace quorvane::diagnostics {
namespace {

namespace fs = std::filesystem;

// A line that cannot be written is lost; the run goes on.
void writeWhole(int fd, std::string_view bytes) noexcept {
    try {
        writeAll(fd, {bytes.data(), bytes.size()});
    } catch (...) {
    }
}

// The folder, made with its missing parents, owner-only; a link in its place is never followed,
// and a folder of another user is not written to.
FileDescriptor openOwnFolder(const fs::path& folder) {
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir && errno == ENOENT) {
        fs::path partial;
        for (const auto& part : folder) {
            partial /= part;
            if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
                return {};
        }
        dir =
            FileDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (dir)
        claimFolder(dir.get(), "the log folder");
    return dir;
}

// Another installer holds the lock only while it appends a line or rotates; a holder that
// keeps it longer is not waited for. After one such wait, later lines do not wait at all until
// the lock is free again, so that a stuck holder costs the caller (the window's thread, too)
// one short wait in all.
bool lockBriefly(int fd, std::atomic<bool>& stuck) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + (stuck.load() ? 0ms : 200ms);
    for (auto pause = 1ms;; pause = std::min(pause * 2, 20ms)) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            stuck = false;
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            stuck = true;
            return false;
        }
        std::this_thread::sleep_for(pause);
    }
}

} // namespace

LogFile::LogFile(fs::path folder, bool echo) : folder_(std::move(folder)), echo_(echo) {}

fs::path LogFile::defaultFolder() {
    try {
        const fs::path state = desktop::stateHome();
        return state.empty() ? fs::path() : state / "quorvane-installer";
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
        const FileDescriptor dir = openOwnFolder(folder_);
        if (!dir)
            return;
        const std::string name(fileName);
        // Another installer may rotate the file between our open and our lock: then the name
        // holds a new file and we start again.
        for (int attempt = 0; attempt < 4; ++attempt) {
            // Never blocks on a FIFO at the name, never writes through a link or to a file with
            // other names: such a log is skipped and left as it is.
            const FileDescriptor file =
                openPlainFile(dir.get(), name, O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (!lockBriefly(file.get(), lockStuck_))
                return;
            struct stat held {};
            struct stat named {};
            if (::fstat(file.get(), &held) != 0 || held.st_uid != ::geteuid() || held.st_nlink != 1)
                return;
            if (::fstatat(dir.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
                named.st_ino != held.st_ino || named.st_dev != held.st_dev)
                continue;
            if ((held.st_mode & 07777) != 0600)
                ::fchmod(file.get(), 0600);
            const auto size = static_cast<std::uint64_t>(held.st_size);
            if (size > 0 && size + line.size() > rotationBytes) {
                // Under the lock of the file that goes, so no one appends to it meanwhile.
                // Whatever sits at the old name (a folder, say) must not stop the log: when
                // it cannot be replaced, the full file is dropped and no predecessor is kept.
                const std::string previous(previousName);
                if (::renameat(dir.get(), name.c_str(), dir.get(), previous.c_str()) != 0 &&
                    ::unlinkat(dir.get(), name.c_str(), 0) != 0)
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
