#include "base/Rename.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "base/FileIo.h"
#include "base/Uuid.h"

namespace quorvane {

void moveIntoPlace(int dir, const std::filesystem::path& from, const std::filesystem::path& to,
                   bool swap) {
#if __APPLE__
    const int result =
        ::renameatx_np(dir, from.c_str(), dir, to.c_str(), swap ? RENAME_SWAP : RENAME_EXCL);
#else
    const int result =
        ::renameat2(dir, from.c_str(), dir, to.c_str(), swap ? RENAME_EXCHANGE : RENAME_NOREPLACE);
#endif
    if (result != 0) {
        const int error = errno;
        throw std::system_error(error > 0 ? error : EIO, std::generic_category(), "rename");
    }
}

void moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    try {
        moveIntoPlace(AT_FDCWD, from, to, false);
        return;
    } catch (const std::system_error& e) {
        if (e.code().value() != EINVAL && e.code().value() != ENOSYS)
            throw;
    }
    if (::link(from.c_str(), to.c_str()) != 0)
        throwErrno("link");
    if (::unlink(from.c_str()) != 0)
        throwErrno("unlink");
}

ReplacementFile::ReplacementFile(int dir, std::string name, mode_t mode)
    : dir_(dir), name_(std::move(name)), temporary_("." + name_ + "." + randomUuid() + ".partial") {
    fd_ = FileDescriptor(::openat(dir_, temporary_.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd_)
        throwErrno("create " + temporary_);
}

ReplacementFile::~ReplacementFile() {
    if (!committed_)
        ::unlinkat(dir_, temporary_.c_str(), 0);
}

void ReplacementFile::write(std::span<const char> data) {
    writeAll(fd_.get(), data);
}

void ReplacementFile::sync() {
    if (::fsync(fd_.get()) != 0)
        throwErrno("sync " + temporary_);
}

void ReplacementFile::commit() {
    sync();
    fd_.reset();
    if (::renameat(dir_, temporary_.c_str(), dir_, name_.c_str()) != 0)
        throwErrno("rename " + temporary_);
    committed_ = true;
}

void replaceFile(int dir, const std::string& name, std::string_view contents, mode_t mode) {
    ReplacementFile file(dir, name, mode);
    file.write({contents.data(), contents.size()});
    file.commit();
}

} // namespace quorvane
