#include "PayloadWriter.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/FileIo.h"

namespace quorvane::tools {
namespace {

constexpr std::size_t chunk = 1 << 20;

struct WriterDeleter {
    void operator()(struct archive* a) const noexcept { archive_write_free(a); }
};
struct EntryDeleter {
    void operator()(struct archive_entry* e) const noexcept { archive_entry_free(e); }
};

class Payload {
public:
    explicit Payload(int fd) : writer_(archive_write_new()) {
        if (!writer_ || archive_write_set_format_cpio_odc(writer_.get()) != ARCHIVE_OK ||
            archive_write_add_filter_gzip(writer_.get()) != ARCHIVE_OK ||
            archive_write_open_fd(writer_.get(), fd) != ARCHIVE_OK)
            fail("cannot start the payload");
    }

    void directory(const std::string& name, mode_t mode, time_t mtime) {
        auto entry = make(name, AE_IFDIR, mode, mtime);
        header(entry.get());
    }

    void tree(const std::filesystem::path& dir, const std::string& prefix) {
        std::vector<std::filesystem::path> children;
        for (const auto& item : std::filesystem::directory_iterator(dir))
            children.push_back(item.path());
        std::sort(children.begin(), children.end());
        for (const auto& child : children) {
            const std::string name = prefix + "/" + child.filename().string();
            struct stat st {};
            if (::lstat(child.c_str(), &st) != 0)
                throw std::system_error(errno, std::generic_category(), child.string());
            if (S_ISDIR(st.st_mode)) {
                directory(name, st.st_mode & 07777, st.st_mtime);
                tree(child, name);
            } else if (S_ISLNK(st.st_mode)) {
                auto entry = make(name, AE_IFLNK, st.st_mode & 0777, st.st_mtime);
                archive_entry_set_symlink(entry.get(),
                                          std::filesystem::read_symlink(child).c_str());
                header(entry.get());
            } else if (S_ISREG(st.st_mode)) {
                file(child, name, st);
            } else {
                throw std::runtime_error("not a file, folder or link: " + child.string());
            }
        }
    }

    void close() {
        if (archive_write_close(writer_.get()) != ARCHIVE_OK)
            fail("cannot finish the payload");
    }

    PayloadSummary summary;

private:
    std::unique_ptr<struct archive_entry, EntryDeleter> make(const std::string& name, mode_t type,
                                                             mode_t mode, time_t mtime) {
        std::unique_ptr<struct archive_entry, EntryDeleter> entry(archive_entry_new());
        if (!entry)
            throw std::bad_alloc();
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_filetype(entry.get(), type);
        archive_entry_set_perm(entry.get(), mode);
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        archive_entry_set_nlink(entry.get(), type == AE_IFDIR ? 2 : 1);
        archive_entry_set_ino64(entry.get(), static_cast<la_int64_t>(++summary.files));
        archive_entry_set_mtime(entry.get(), mtime, 0);
        archive_entry_set_size(entry.get(), 0);
        return entry;
    }

    void header(struct archive_entry* entry) {
        if (archive_write_header(writer_.get(), entry) != ARCHIVE_OK)
            fail(archive_entry_pathname(entry));
    }

    void file(const std::filesystem::path& path, const std::string& name, const struct stat& st) {
        FileDescriptor in(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!in)
            throw std::system_error(errno, std::generic_category(), path.string());
        auto entry = make(name, AE_IFREG, st.st_mode & 0777, st.st_mtime);
        archive_entry_set_size(entry.get(), st.st_size);
        header(entry.get());
        std::string buffer(chunk, '\0');
        std::uint64_t done = 0;
        for (;;) {
            const std::size_t n = readSome(in.get(), buffer);
            if (n == 0)
                break;
            done += static_cast<std::uint64_t>(n);
            if (done > static_cast<std::uint64_t>(st.st_size))
                throw std::runtime_error("file grew while being packed: " + path.string());
            if (archive_write_data(writer_.get(), buffer.data(), n) != static_cast<la_ssize_t>(n))
                fail(name.c_str());
        }
        if (done != static_cast<std::uint64_t>(st.st_size))
            throw std::runtime_error("file shrank while being packed: " + path.string());
        summary.totalBytes += done;
    }

    [[noreturn]] void fail(const char* what) {
        const char* why = archive_error_string(writer_.get());
        throw std::runtime_error(std::string(what) + ": " + (why ? why : "archive error"));
    }

    std::unique_ptr<struct archive, WriterDeleter> writer_;
};

} // namespace

PayloadSummary writePayload(const std::filesystem::path& root,
                            const std::filesystem::path& installLocation, int fd) {
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error("not a folder: " + root.string());
    Payload payload(fd);
    payload.directory(".", 0755, st.st_mtime);
    std::string prefix = ".";
    for (const auto& part : installLocation.relative_path()) {
        prefix += "/" + part.string();
        payload.directory(prefix, 0755, st.st_mtime);
    }
    payload.tree(root, prefix);
    payload.close();
    return payload.summary;
}

} // namespace quorvane::tools
