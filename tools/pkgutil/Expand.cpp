#include "Expand.h"
#include "base/FileIo.h"

#include "CpioReader.h"
#include "TreeWriter.h"

#include <cerrno>
#include <map>
#include <memory>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

namespace quorvane::tools {
namespace {

// A member's decoded bytes, each charged to the budget as it comes.
class MemberSource : public ByteSource {
public:
    MemberSource(MemberStream& stream, ByteBudget* budget) : stream_(stream), budget_(budget) {}
    std::size_t read(char* buffer, std::size_t capacity) override {
        const std::size_t n = stream_.read(buffer, capacity);
        if (budget_)
            budget_->charge(n);
        return n;
    }

private:
    MemberStream& stream_;
    ByteBudget* budget_;
};

// Names of files that more entries will link to, by device and inode.
struct LinkGroup {
    std::string firstName;
    std::uint32_t linksLeft;
};

class Expander {
public:
    Expander(const XarArchive& archive, TreeWriter& top, const ExpansionLimits& limits,
             ByteBudget& budget, Bookkeeping& bookkeeping, PathBudget& work, ExpansionStats& stats)
        : archive_(archive), top_(top), limits_(limits), budget_(budget), bookkeeping_(bookkeeping),
          work_(work), stats_(stats) {}

    void members(const std::vector<XarFile>& files, const RelativePath& prefix) {
        for (const auto& f : files) {
            RelativePath path = prefix;
            path.push_back(f.name);
            countEntry();
            if (f.type == "directory") {
                top_.makeDirectory(path, f.mode.value_or(0755));
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
    void countEntry() {
        if (++stats_.entries > limits_.maxEntries)
            throw UnsafeEntry("the package holds too many entries");
    }

    void copyMember(const XarFile& f, const RelativePath& path) {
        FileDescriptor out = top_.createFile(path, f.mode.value_or(0644));
        if (!f.data)
            return;
        budget_.expect(f.data->size);
        MemberStream stream(archive_, *f.data);
        MemberSource source(stream, &budget_);
        std::string buffer(chunkSize, '\0');
        while (const std::size_t n = source.read(buffer.data(), buffer.size()))
            writeAll(out.get(), {buffer.data(), n});
    }

    void expandArchive(const XarData& data, const RelativePath& path) {
        top_.makeDirectory(path, 0755);
        auto& tree = *trees_.emplace_back(
            std::make_unique<TreeWriter>(top_.openDirectory(path), bookkeeping_, work_));
        MemberStream stream(archive_, data);
        // One compression layer: the payload's own gzip, or the member's encoding around a
        // plain archive, never both.
        if (data.encoding == "application/x-gzip") {
            MemberSource source(stream, &budget_);
            entries(tree, source, path);
        } else {
            MemberSource source(stream, nullptr);
            GzipLayer gzip(source, budget_);
            entries(tree, gzip, path);
        }
        // The archive's trailer may come before the member's end; read it all so the
        // member's checksums are checked.
        stream.drain();
        tree.closeFolders();
    }

    void entries(TreeWriter& tree, ByteSource& source, const RelativePath& where) {
        CpioReader reader(source);
        std::map<std::pair<std::uint64_t, std::uint64_t>, LinkGroup> links;
        std::string buffer(chunkSize, '\0');
        CpioEntry entry;
        try {
            while (reader.next(entry)) {
                countEntry();
                entryInto(tree, reader, entry, links, buffer);
            }
        } catch (const PayloadError& e) {
            throw PayloadError(joinPath(where) + ": " + e.what());
        }
        for (const auto& [key, group] : links)
            bookkeeping_.give(Bookkeeping::costOf(group.firstName.size()));
    }

    void entryInto(TreeWriter& tree, CpioReader& reader, const CpioEntry& entry,
                   std::map<std::pair<std::uint64_t, std::uint64_t>, LinkGroup>& links,
                   std::string& buffer) {
        const RelativePath path = splitEntryPath(entry.name);
        if (entry.isDirectory()) {
            tree.makeDirectory(path, entry.mode);
            return;
        }
        if (entry.isSymlink()) {
            tree.makeSymlink(path, entry.linkTarget);
            return;
        }
        if (!entry.isRegular())
            throw UnsafeEntry("device, pipe or socket entry: " + joinPath(path));

        // Hard links share device and inode; the data may come with any of the names (GNU
        // cpio's newc puts it on the last, odc on each), and each copy replaces the content.
        FileDescriptor out;
        if (entry.nlink > 1) {
            const auto key = std::make_pair(entry.dev, entry.ino);
            const auto found = links.find(key);
            if (found != links.end()) {
                const RelativePath first = splitEntryPath(found->second.firstName);
                tree.makeHardlink(path, first);
                if (--found->second.linksLeft == 0) {
                    bookkeeping_.give(Bookkeeping::costOf(found->second.firstName.size()));
                    links.erase(found);
                }
                if (entry.size == 0)
                    return;
                out = tree.rewriteFile(path, entry.mode);
            } else {
                out = tree.createFile(path, entry.mode);
                std::string joined = joinPath(path);
                bookkeeping_.take(Bookkeeping::costOf(joined.size()));
                links.emplace(key, LinkGroup{std::move(joined), entry.nlink - 1});
            }
        } else {
            out = tree.createFile(path, entry.mode);
        }
        budget_.expect(entry.size);
        while (const std::size_t n = reader.readData(buffer.data(), buffer.size()))
            writeAll(out.get(), {buffer.data(), n});
        const struct timespec times[2] = {{entry.mtime, 0}, {entry.mtime, 0}};
        ::futimens(out.get(), times);
    }

    const XarArchive& archive_;
    TreeWriter& top_;
    const ExpansionLimits& limits_;
    ByteBudget& budget_;
    Bookkeeping& bookkeeping_;
    PathBudget& work_;
    ExpansionStats& stats_;
    std::vector<std::unique_ptr<TreeWriter>> trees_;
};

} // namespace

ExpansionLimits expansionLimitsFor(std::uint64_t packageSize) {
    constexpr std::uint64_t base = 64ull << 20;
    constexpr std::uint64_t ratio = 200;
    constexpr std::uint64_t ceiling = 32ull << 30;
    const std::uint64_t scaled =
        packageSize > (ceiling - base) / ratio ? ceiling : base + ratio * packageSize;
    // Real packages hold a few components per thousand compressed bytes, while deep paths
    // compress to almost nothing; each component costs the kernel work on every entry.
    constexpr std::uint64_t componentsBase = 1ull << 18;
    constexpr std::uint64_t componentsRatio = 2;
    constexpr std::uint64_t entries = 1000000;
    constexpr std::uint64_t componentsCeiling = entries * maxPathDepth;
    const std::uint64_t components =
        packageSize > (componentsCeiling - componentsBase) / componentsRatio
            ? componentsCeiling
            : componentsBase + componentsRatio * packageSize;
    return {scaled, entries, 12ull << 20, components};
}

void expandFull(const XarArchive& archive, const std::filesystem::path& dir) {
    ExpansionStats stats;
    expandFull(archive, dir, expansionLimitsFor(archive.fileSize()), stats);
}

void expandFull(const XarArchive& archive, const std::filesystem::path& dir,
                const ExpansionLimits& limits, ExpansionStats& stats) {
    if (::mkdir(dir.c_str(), 0700) != 0)
        throwErrno(dir.string());
    ByteBudget budget(limits.maxBytes);
    PathBudget work(limits.maxComponents);
    try {
        FileDescriptor root(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!root)
            throwErrno(dir.string());
        // The umask may have taken the owner's own access away.
        if (::fchmod(root.get(), 0755) != 0)
            throwErrno(dir.string());
        if (archive.toc().checksum && !archive.tocChecksumMatches())
            throw XarError("the table of contents does not match its checksum");
        Bookkeeping bookkeeping(limits.maxBookkeeping);
        TreeWriter top(std::move(root), bookkeeping, work);
        Expander expander(archive, top, limits, budget, bookkeeping, work, stats);
        expander.members(archive.toc().files, {});
        expander.finish();
        stats.inflatedBytes = budget.used();
        stats.components = work.used();
    } catch (...) {
        stats.inflatedBytes = budget.used();
        stats.components = work.used();
        // Any depth, under any descriptor limit; read-only folders included.
        removeTree(dir);
        throw;
    }
}

} // namespace quorvane::tools
