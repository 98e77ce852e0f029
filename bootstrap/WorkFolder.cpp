#include "WorkFolder.h"
#include "Uuid.h"

#include <cerrno>
#include <system_error>

#include <sys/stat.h>

namespace quorvane {
namespace {

void grantOwnerAccess(const std::filesystem::path& dir) noexcept {
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    ::chmod(dir.c_str(), (info.st_mode & 07777) | S_IRWXU);
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        grantOwnerAccess(it->path());
}

} // namespace

bool isWorkFolderName(std::string_view name) noexcept {
    if (name.size() != workFolderPrefix.size() + 36 || !name.starts_with(workFolderPrefix))
        return false;
    name.remove_prefix(workFolderPrefix.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

void removeTree(const std::filesystem::path& path) noexcept {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (!ec)
        return;
    grantOwnerAccess(path);
    std::filesystem::remove_all(path, ec);
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
