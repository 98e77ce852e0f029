#include "install/WorkFolder.h"
#include "base/Uuid.h"

#include <cerrno>
#include <system_error>

#include <sys/stat.h>

namespace quorvane {

bool isWorkFolderName(std::string_view name) noexcept {
    return isPrefixedUuid(name, workFolderPrefix);
}

void removeStaleWorkFolders(const std::filesystem::path& folder) noexcept {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        try {
            if (isWorkFolderName(it->path().filename().string()) && it->is_directory(ec) &&
                !it->is_symlink(ec))
                removeTree(it->path());
        } catch (...) {
        }
    }
}

WorkFolder::WorkFolder(const std::filesystem::path& parent)
    : path_(parent / (std::string(workFolderPrefix) + randomUuid())) {
    if (::mkdir(path_.c_str(), 0700) != 0)
        throw std::system_error(errno, std::generic_category(), "mkdir " + path_.string());
    // The umask may have taken bits away; the package tool writes into it as its owner.
    if (::chmod(path_.c_str(), 0700) != 0) {
        const int error = errno;
        removeTree(path_);
        throw std::system_error(error, std::generic_category(), "chmod " + path_.string());
    }
}

} // namespace quorvane
