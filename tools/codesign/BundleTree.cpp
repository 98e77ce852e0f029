#include "BundleTree.h"
#include "base/FileIo.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace quorvane::tools {
namespace {

constexpr int maxDirectoryDepth = 128;
constexpr int maxLinkHops = 40;

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::string readLinkAt(int dir, const std::string& name) {
    std::string target(CodeDirectory::maxPathBytes + 1, '\0');
    const ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
    if (n < 0)
        throwErrno(name);
    if (static_cast<std::size_t>(n) > CodeDirectory::maxPathBytes)
        throw std::runtime_error(name + ": link target too long");
    target.resize(static_cast<std::size_t>(n));
    return target;
}

std::string joinPath(const std::vector<std::string>& parts) {
    std::string joined;
    for (const auto& part : parts) {
        if (!joined.empty())
            joined += '/';
        joined += part;
    }
    return joined;
}

// Walks `target` from the folder `at` (components below the root); false once it leaves.
bool resolveInside(int root, std::vector<std::string>& at, std::string_view target, int& hops) {
    if (target.empty() || target.front() == '/')
        return false;
    std::size_t start = 0;
    while (start <= target.size()) {
        std::size_t end = target.find('/', start);
        if (end == std::string_view::npos)
            end = target.size();
        const std::string part(target.substr(start, end - start));
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (at.empty())
                return false;
            at.pop_back();
            continue;
        }
        at.push_back(part);
        const std::string joined = joinPath(at);
        struct stat st {};
        // Nothing there: the rest can only be followed lexically, which is what we do.
        if (::fstatat(root, joined.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            continue;
        if (--hops < 0)
            return false;
        const std::string inner = readLinkAt(root, joined);
        at.pop_back();
        if (!resolveInside(root, at, inner, hops))
            return false;
    }
    return true;
}

class TreeScanner {
public:
    TreeScanner(const CodeRoot& code, const NestedCodeProbe& nested, const ItemCheck& check)
        : signaturePath_(code.signaturePath), nested_(nested), check_(check) {}

    std::vector<CodeEntry> scan(int root) {
        scanDirectory(root, "", 0);
        std::sort(entries_.begin(), entries_.end(),
                  [](const CodeEntry& a, const CodeEntry& b) { return a.path < b.path; });
        return std::move(entries_);
    }

private:
    void scanDirectory(int dir, const std::string& prefix, int depth) {
        if (depth > maxDirectoryDepth)
            throw std::runtime_error(prefix + ": folders nested too deeply");
        for (const std::string& name : directoryNames(dir)) {
            const std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (!isValidEntryPath(path))
                throw std::runtime_error(path + ": path too long");
            if (entries_.size() >= CodeDirectory::maxEntries)
                throw std::runtime_error("too many files in the bundle");
            struct stat st {};
            if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                throwErrno(path);
            CodeEntry entry;
            entry.path = path;
            if (S_ISLNK(st.st_mode)) {
                if (check_)
                    check_(path, st);
                entry.kind = CodeEntry::Kind::link;
                entry.target = readLinkAt(dir, name);
            } else if (S_ISREG(st.st_mode)) {
                struct stat opened {};
                FileDescriptor file = openRegularFileAt(dir, name, &opened);
                entry.kind = CodeEntry::Kind::file;
                entry.executable = (opened.st_mode & 0111) != 0;
                entry.size = static_cast<std::uint64_t>(opened.st_size);
                // Sizes first: a file of the wrong size is refused without reading it.
                const std::optional<std::uint64_t> limit =
                    check_ ? check_(path, opened) : std::optional<std::uint64_t>(UINT64_MAX);
                if (limit)
                    entry.digest = sha256Stream(file.get(), &entry.size, *limit);
            } else if (S_ISDIR(st.st_mode)) {
                FileDescriptor sub = openDirectoryAt(dir, name);
                if (check_) {
                    struct stat opened {};
                    if (::fstat(sub.get(), &opened) != 0)
                        throwErrno(path);
                    check_(path, opened);
                }
                if (path == signaturePath_)
                    continue;
                // The folder that holds our own signature is never nested code.
                auto cdhash = path + "/_CodeSignature" == signaturePath_ ? std::nullopt
                                                                         : nested_(path, sub.get());
                if (!cdhash) {
                    scanDirectory(sub.get(), path, depth + 1);
                    continue;
                }
                entry.kind = CodeEntry::Kind::code;
                entry.cdhash = *cdhash;
            } else {
                throw std::runtime_error(path + ": not a file, folder or link");
            }
            entries_.push_back(std::move(entry));
        }
    }

    const std::string& signaturePath_;
    const NestedCodeProbe& nested_;
    const ItemCheck& check_;
    std::vector<CodeEntry> entries_;
};

} // namespace

CodeRoot openCodeRoot(FileDescriptor root) {
    CodeRoot code;
    code.signatureParent = tryOpenDirectoryAt(root.get(), "Contents");
    if (code.signatureParent) {
        code.signaturePath = "Contents/_CodeSignature";
    } else {
        code.signatureParent = openDirectoryAt(root.get(), ".");
        code.signaturePath = "_CodeSignature";
    }
    code.root = std::move(root);
    return code;
}

FileDescriptor openSignatureDirectory(const CodeRoot& code) {
    return tryOpenDirectoryAt(code.signatureParent.get(), "_CodeSignature");
}

std::vector<std::string> directoryNames(int dir) {
    const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        throwErrno("dup");
    DirPtr stream(::fdopendir(copy));
    if (!stream) {
        ::close(copy);
        throwErrno("fdopendir");
    }
    ::rewinddir(stream.get());
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* item = ::readdir(stream.get())) {
        const std::string_view name(item->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
        errno = 0;
    }
    if (errno != 0)
        throwErrno("readdir");
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<CodeEntry> scanTree(const CodeRoot& code, const NestedCodeProbe& nested,
                                const ItemCheck& check) {
    return TreeScanner(code, nested, check).scan(code.root.get());
}

bool linkStaysInside(int root, const std::string& linkPath, const std::string& target) {
    std::vector<std::string> at;
    std::size_t start = 0;
    for (std::size_t slash = linkPath.find('/'); slash != std::string::npos;
         slash = linkPath.find('/', start)) {
        at.push_back(linkPath.substr(start, slash - start));
        start = slash + 1;
    }
    int hops = maxLinkHops;
    return resolveInside(root, at, target, hops);
}

} // namespace quorvane::tools
