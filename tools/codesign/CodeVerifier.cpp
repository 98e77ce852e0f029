#include "CodeVerifier.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <openssl/x509v3.h>

#include "BundleTree.h"
#include "CmsSignature.h"

namespace quorvane::tools {
namespace {

constexpr int maxNestingDepth = 16;

[[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error(why);
}

FileDescriptor openBundle(const std::string& bundlePath, bool strict) {
    std::string path = bundlePath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back(); // a trailing slash would follow a link
    if (strict) {
        const std::string last = std::filesystem::path(path).filename().string();
        if (last == "." || last == "..")
            fail("the bundle path must name the bundle itself");
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (strict ? O_NOFOLLOW : 0);
    FileDescriptor fd(::openat(AT_FDCWD, path.c_str(), flags));
    if (!fd) {
        if (strict && (errno == ELOOP || errno == ENOTDIR) &&
            std::filesystem::is_symlink(std::filesystem::symlink_status(path)))
            fail("the bundle path is a symbolic link");
        throw std::system_error(errno, std::generic_category(), "cannot open the bundle");
    }
    return fd;
}

// Real Developer ID application certificates allow code signing; an installer certificate
// (or any other with a usage list without it) does not sign code.
bool mayBeUsedForCode(X509* leaf) {
    const std::uint32_t usage = X509_get_extended_key_usage(leaf);
    return usage == UINT32_MAX || (usage & (XKU_CODE_SIGN | XKU_ANYEKU)) != 0;
}

// The leaf's organisational units; a requirement on one must not be met by one of several.
std::vector<std::string> organizationalUnits(X509* cert) {
    std::vector<std::string> units;
    X509_NAME* name = X509_get_subject_name(cert);
    for (int i = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, i)) {
        unsigned char* utf8 = nullptr;
        const int length =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
        if (length < 0)
            continue;
        units.emplace_back(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
        OPENSSL_free(utf8);
    }
    return units;
}

const CodeEntry* findEntry(const std::vector<CodeEntry>& entries, const std::string& path) {
    auto it = std::lower_bound(entries.begin(), entries.end(), path,
                               [](const CodeEntry& e, const std::string& p) { return e.path < p; });
    return it != entries.end() && it->path == path ? &*it : nullptr;
}

// Another local user must not be able to change verified code: no world-writable item, no
// setuid or setgid file. Group write stays allowed (user-private groups make it common), and
// extended attributes are not looked at (see the README).
void requireSafeMode(const std::string& path, const struct stat& info) {
    if (S_ISLNK(info.st_mode))
        return; // a link's own mode means nothing
    if ((info.st_mode & S_IWOTH) != 0)
        fail("world-writable item: " + path);
    if (S_ISREG(info.st_mode) && (info.st_mode & (S_ISUID | S_ISGID)) != 0)
        fail("setuid or setgid file: " + path);
}

void requireSafeModeAt(int dir, const std::string& name, const std::string& path) {
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, name == "." ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        throwErrno(path);
    requireSafeMode(path, info);
}

void compareEntry(const CodeEntry& listed, const CodeEntry& found) {
    if (listed.kind != found.kind)
        fail("file type changed: " + found.path);
    switch (listed.kind) {
    case CodeEntry::Kind::file:
        if (listed.size != found.size || listed.digest != found.digest)
            fail("file modified: " + found.path);
        if (listed.executable != found.executable)
            fail("file mode changed: " + found.path);
        break;
    case CodeEntry::Kind::link:
        if (listed.target != found.target)
            fail("link target changed: " + found.path);
        break;
    case CodeEntry::Kind::code:
        if (listed.cdhash != found.cdhash)
            fail("nested code changed: " + found.path);
        break;
    }
}

class Verifier {
public:
    Verifier(const VerifyOptions& options, const TrustAnchors& trust)
        : options_(options), trust_(trust) {}

    VerifiedCode verify(FileDescriptor rootFd, int depth) {
        if (depth > maxNestingDepth)
            fail("nested code too deep");
        CodeRoot code = openCodeRoot(std::move(rootFd));
        FileDescriptor signature = openSignatureDirectory(code);
        if (!signature)
            fail("code object is not signed at all");
        if (options_.strict && directoryNames(signature.get()) !=
                                   std::vector<std::string>{codeDirectoryName, codeSignatureName})
            fail("unexpected items in " + code.signaturePath);
        if (options_.strict) {
            // The folders and files below are checked as they are scanned.
            requireSafeModeAt(code.root.get(), ".", "the bundle folder");
            for (const char* name : {codeDirectoryName, codeSignatureName})
                requireSafeModeAt(signature.get(), name, code.signaturePath + "/" + name);
        }

        const std::string cdBytes =
            readSmallFileAt(signature.get(), codeDirectoryName, CodeDirectory::maxBytes);
        const std::string cmsBytes =
            readSmallFileAt(signature.get(), codeSignatureName, maxSignatureBytes);
        VerifiedCode result;
        result.directory = CodeDirectory::decode(cdBytes);
        result.cdhash = cdhashOf(cdBytes);
        checkSigner(cmsBytes, cdBytes, result);
        // Identifier, team, cdhash and anchor are all known now: a build that is not the one
        // asked for is told apart without hashing its files.
        if (depth == 0 && options_.requirement)
            if (auto clause = unmetClause(*options_.requirement, result))
                throw RequirementNotMet(std::move(*clause));
        checkContents(code, result.directory, depth);
        return result;
    }

private:
    void checkSigner(const std::string& cmsBytes, const std::string& cdBytes,
                     VerifiedCode& result) {
        SignedBy signedBy = verifyDetached(cmsBytes, cdBytes);
        std::vector<X509*> others;
        for (const auto& cert : signedBy.others)
            others.push_back(cert.get());
        result.chain = verifyChain(signedBy.leaf.get(), others, trust_);
        if (!result.chain.trusted)
            fail("the signing certificate is not trusted: " + result.chain.error);
        if (!mayBeUsedForCode(signedBy.leaf.get()))
            fail("the signing certificate is not for code signing");
        const auto units = organizationalUnits(signedBy.leaf.get());
        const std::string team = units.size() == 1 ? units.front() : std::string();
        if (result.directory.teamIdentifier != team)
            fail("the team identifier does not match the signing certificate");
        result.leaf = std::move(signedBy.leaf);
    }

    void checkContents(const CodeRoot& code, const CodeDirectory& directory, int depth) {
        const auto& listed = directory.entries;
        const NestedCodeProbe probe = [&](const std::string& path,
                                          int dir) -> std::optional<CdHash> {
            const CodeEntry* entry = findEntry(listed, path);
            if (!entry || entry->kind != CodeEntry::Kind::code)
                return std::nullopt;
            FileDescriptor nested = openDirectoryAt(dir, ".");
            if (options_.deep) {
                try {
                    return verify(std::move(nested), depth + 1).cdhash;
                } catch (const std::exception& e) {
                    fail("nested code " + path + ": " + e.what());
                }
            }
            CodeRoot nestedCode = openCodeRoot(std::move(nested));
            FileDescriptor signature = openSignatureDirectory(nestedCode);
            if (!signature)
                fail("nested code is not signed: " + path);
            return cdhashOf(
                readSmallFileAt(signature.get(), codeDirectoryName, CodeDirectory::maxBytes));
        };
        // Each item is judged before it is read, and a file's size before its contents: the
        // first mismatch ends the check, however large the file.
        const ItemCheck check = [&](const std::string& path,
                                    const struct stat& info) -> std::optional<std::uint64_t> {
            if (options_.strict)
                requireSafeMode(path, info);
            const CodeEntry* entry = findEntry(listed, path);
            if (S_ISDIR(info.st_mode) || S_ISLNK(info.st_mode))
                return std::nullopt;
            if (!entry) {
                if (options_.strict)
                    fail("file added: " + path);
                return std::nullopt; // not covered by the signature: not read
            }
            if (entry->kind != CodeEntry::Kind::file)
                fail("file type changed: " + path);
            if (static_cast<std::uint64_t>(info.st_size) != entry->size)
                fail("file modified: " + path);
            return entry->size;
        };
        const std::vector<CodeEntry> found = scanTree(code, probe, check);

        std::size_t i = 0, j = 0;
        while (i < listed.size() || j < found.size()) {
            if (j == found.size() || (i < listed.size() && listed[i].path < found[j].path))
                fail("file missing: " + listed[i].path);
            if (i == listed.size() || found[j].path < listed[i].path) {
                if (options_.strict)
                    fail("file added: " + found[j].path);
                ++j;
                continue;
            }
            compareEntry(listed[i++], found[j++]);
        }
        if (options_.strict)
            for (const auto& entry : found)
                if (entry.kind == CodeEntry::Kind::link &&
                    !linkStaysInside(code.root.get(), entry.path, entry.target))
                    fail("link leaves the bundle: " + entry.path + " -> " + entry.target);
    }

    VerifyOptions options_;
    const TrustAnchors& trust_;
};

} // namespace

VerifiedCode verifyCode(const std::string& bundlePath, const VerifyOptions& options,
                        const TrustAnchors& trust) {
    return Verifier(options, trust).verify(openBundle(bundlePath, options.strict), 0);
}

std::optional<RequirementClause> unmetClause(const Requirement& requirement,
                                             const VerifiedCode& code) {
    using Kind = RequirementClause::Kind;
    for (const auto& clause : requirement.clauses) {
        bool holds = false;
        switch (clause.kind) {
        case Kind::identifier:
            holds = code.directory.identifier == clause.text;
            break;
        case Kind::anchorAppleGeneric:
            holds = code.chain.trusted && code.chain.platform;
            break;
        case Kind::leafSubjectOU: {
            const auto units = organizationalUnits(code.leaf.get());
            holds = units.size() == 1 && units.front() == clause.text;
            break;
        }
        case Kind::leafFieldExists:
            holds = hasExtension(code.leaf.get(), clause.text);
            break;
        case Kind::cdhash:
            holds = code.cdhash == clause.hash;
            break;
        }
        if (!holds)
            return clause;
    }
    return std::nullopt;
}

CdHash recordedCdHash(const std::string& bundlePath) {
    CodeRoot code = openCodeRoot(openBundle(bundlePath, false));
    FileDescriptor signature = openSignatureDirectory(code);
    if (!signature)
        fail("code object is not signed at all");
    return cdhashOf(readSmallFileAt(signature.get(), codeDirectoryName, CodeDirectory::maxBytes));
}

} // namespace quorvane::tools
