#include "Expand.h"
#include "FileIo.h"

#include "TreeWriter.h"

#include <cerrno>
#include <exception>
#include <memory>
#include <system_error>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace quorvane::tools {
namespace {

class Budget {
public:
    explicit Budget(ExpansionLimits limits) : limits_(limits) {}
    // Refuses before writing when a stated size alone would break the limit.
    void expect(std::uint64_t bytes) const {
        if (bytes > limits_.maxBytes - used_)
            throw UnsafeEntry("the package expands past the size limit");
    }
    void charge(std::uint64_t bytes) {
        expect(bytes);
        used_ += bytes;
    }
    void countEntry() {
        if (++entries_ > limits_.maxEntries)
            throw UnsafeEntry("the package holds too many entries");
    }

private:
    ExpansionLimits limits_;
    std::uint64_t used_ = 0;
    std::uint64_t entries_ = 0;
};

void writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throwErrno("write");
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

struct ArchiveDeleter {
    void operator()(struct archive* a) const noexcept { archive_read_free(a); }
};
using ArchiveReader = std::unique_ptr<struct archive, ArchiveDeleter>;

// Feeds a member's decoded bytes to libarchive; exceptions wait here until libarchive returns.
struct ReadContext {
    MemberStream& stream;
    std::string buffer;
    std::exception_ptr error;
};

la_ssize_t readMember(struct archive* a, void* opaque, const void** block) {
    auto* ctx = static_cast<ReadContext*>(opaque);
    try {
        *block = ctx->buffer.data();
        return static_cast<la_ssize_t>(ctx->stream.read(ctx->buffer.data(), ctx->buffer.size()));
    } catch (...) {
        ctx->error = std::current_exception();
        archive_set_error(a, EIO, "member unreadable");
        return -1;
    }
}

class Expander {
public:
    Expander(const XarArchive& archive, TreeWriter& top)
        : archive_(archive), top_(top), budget_(expansionLimitsFor(archive.fileSize())) {}

    void members(const std::vector<XarFile>& files, const RelativePath& prefix) {
        for (const auto& f : files) {
            RelativePath path = prefix;
            path.push_back(f.name);
            budget_.countEntry();
            if (f.type == "directory") {
                top_.makeDirectory(path, f.mode.value_or(0755) | 0700);
                members(f.children, path);
            } else if (f.data && (f.name == "Payload" || f.name == "Scripts")) {
                expandArchive(*f.data, path);
            } else {
                copyMember(f, path);
            }
        }
    }

    void finish() {
        top_.checkLinks();
        for (auto& tree : trees_)
            tree->checkLinks();
        for (auto& tree : trees_)
            tree->applyModes();
        top_.applyModes();
    }

private:
    void copyMember(const XarFile& f, const RelativePath& path) {
        FileDescriptor out = top_.createFile(path, f.mode.value_or(0644) & 0777);
        if (!f.data)
            return;
        budget_.expect(f.data->size);
        MemberStream stream(archive_, *f.data);
        std::string buffer(chunkSize, '\0');
        while (const std::size_t n = stream.read(buffer.data(), buffer.size())) {
            budget_.charge(n);
            writeAll(out.get(), buffer.data(), n);
        }
    }

    void expandArchive(const XarData& data, const RelativePath& path) {
        top_.makeDirectory(path, 0755);
        budget_.expect(data.size);
        auto& tree = *trees_.emplace_back(std::make_unique<TreeWriter>(top_.openDirectory(path)));
        MemberStream stream(archive_, data);
        ReadContext ctx{stream, std::string(chunkSize, '\0'), nullptr};
        ArchiveReader reader(archive_read_new());
        if (!reader)
            throw std::bad_alloc();
        archive_read_support_filter_gzip(reader.get());
        archive_read_support_format_cpio(reader.get());
        if (archive_read_open(reader.get(), &ctx, nullptr, readMember, nullptr) != ARCHIVE_OK)
            fail(reader.get(), ctx, path);
        std::string buffer(chunkSize, '\0');
        for (;;) {
            struct archive_entry* entry = nullptr;
            const int rc = archive_read_next_header(reader.get(), &entry);
            if (rc == ARCHIVE_EOF)
                break;
            if (rc != ARCHIVE_OK)
                fail(reader.get(), ctx, path);
            budget_.countEntry();
            entryInto(tree, reader.get(), entry, ctx, path, buffer);
        }
        // The archive's trailer may come before the member's end; read it all so the
        // member's checksums are checked. libarchive may also have swallowed a read error.
        if (ctx.error)
            std::rethrow_exception(ctx.error);
        stream.drain();
    }

    void entryInto(TreeWriter& tree, struct archive* reader, struct archive_entry* entry,
                   ReadContext& ctx, const RelativePath& where, std::string& buffer) {
        const char* name = archive_entry_pathname(entry);
        if (!name)
            throw UnsafeEntry("entry without a usable name in " + joinPath(where));
        const RelativePath path = splitEntryPath(name);
        const std::uint32_t mode = archive_entry_perm(entry) & 0777;
        if (const char* existing = archive_entry_hardlink(entry)) {
            tree.makeHardlink(path, splitEntryPath(existing));
            return;
        }
        switch (archive_entry_filetype(entry)) {
        case AE_IFDIR:
            tree.makeDirectory(path, mode);
            return;
        case AE_IFLNK: {
            const char* target = archive_entry_symlink(entry);
            if (!target)
                throw UnsafeEntry("link without a target: " + joinPath(path));
            tree.makeSymlink(path, target);
            return;
        }
        case AE_IFREG:
            break;
        default:
            throw UnsafeEntry("device, pipe or socket entry: " + joinPath(path));
        }
        if (archive_entry_size_is_set(entry))
            budget_.expect(static_cast<std::uint64_t>(archive_entry_size(entry)));
        FileDescriptor out = tree.createFile(path, mode);
        for (;;) {
            const la_ssize_t n = archive_read_data(reader, buffer.data(), buffer.size());
            if (n == 0)
                break;
            if (n < 0)
                fail(reader, ctx, where);
            budget_.charge(static_cast<std::uint64_t>(n));
            writeAll(out.get(), buffer.data(), static_cast<std::size_t>(n));
        }
        const struct timespec times[2] = {{archive_entry_mtime(entry), 0},
                                          {archive_entry_mtime(entry), 0}};
        ::futimens(out.get(), times);
    }

    [[noreturn]] void fail(struct archive* reader, const ReadContext& ctx,
                           const RelativePath& where) {
        if (ctx.error)
            std::rethrow_exception(ctx.error);
        const char* why = archive_error_string(reader);
        throw XarError(joinPath(where) + ": " + (why ? why : "unreadable archive"));
    }

    const XarArchive& archive_;
    TreeWriter& top_;
    Budget budget_;
    std::vector<std::unique_ptr<TreeWriter>> trees_;
};

// Removes a half-expanded folder, read-only folders included.
void removeExpansion(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!ec)
        return;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(dir, ec);
}

} // namespace

ExpansionLimits expansionLimitsFor(std::uint64_t packageSize) {
    constexpr std::uint64_t base = 64ull << 20;
    constexpr std::uint64_t ratio = 200;
    constexpr std::uint64_t ceiling = 32ull << 30;
    const std::uint64_t scaled =
        packageSize > (ceiling - base) / ratio ? ceiling : base + ratio * packageSize;
    return {scaled, 1000000};
}

void expandFull(const XarArchive& archive, const std::filesystem::path& dir) {
    if (::mkdir(dir.c_str(), 0755) != 0)
        throwErrno(dir.string());
    try {
        FileDescriptor root(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!root)
            throwErrno(dir.string());
        if (archive.toc().checksum && !archive.tocChecksumMatches())
            throw XarError("the table of contents does not match its checksum");
        TreeWriter top(std::move(root));
        Expander expander(archive, top);
        expander.members(archive.toc().files, {});
        expander.finish();
    } catch (...) {
        removeExpansion(dir);
        throw;
    }
}

} // namespace quorvane::tools
