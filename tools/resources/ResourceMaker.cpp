#include "ResourceMaker.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "CodeVerifier.h"
#include "FileHandles.h"
#include "InfoPlist.h"
#include "OpenSslHandles.h"
#include "contract/CodeRequirement.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane::tools {
namespace {

// A file written under a hidden name and renamed into place on commit; removed otherwise.
class PartialFile {
public:
    PartialFile(int dir, std::string name) : dir_(dir), name_(std::move(name)) {
        temporary_ = "." + name_ + ".partial";
        ::unlinkat(dir_, temporary_.c_str(), 0);
        fd_ = FileDescriptor(::openat(dir_, temporary_.c_str(),
                                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd_)
            throwErrno(temporary_);
    }
    ~PartialFile() {
        if (!committed_)
            ::unlinkat(dir_, temporary_.c_str(), 0);
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    void write(const unsigned char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd_.get(), data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throwErrno(name_);
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    void sync() {
        if (::fsync(fd_.get()) != 0)
            throwErrno(name_);
    }
    void commit() {
        if (::renameat(dir_, temporary_.c_str(), dir_, name_.c_str()) != 0)
            throwErrno(name_);
        committed_ = true;
    }

private:
    int dir_;
    std::string name_;
    std::string temporary_;
    FileDescriptor fd_;
    bool committed_ = false;
};

FileDescriptor openOutputDirectory(const std::filesystem::path& output) {
    std::filesystem::create_directories(output);
    FileDescriptor dir(::open(output.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        throwErrno(output.string());
    return dir;
}

void checkManifest(const BootstrapManifest& manifest, const char* stage) {
    try {
        manifest.validate();
    } catch (const BootstrapFailure&) {
        throw std::runtime_error(std::string("the manifest would not be accepted by the "
                                             "installer (") +
                                 stage +
                                 "): check that the URL is https with a host and no user or "
                                 "fragment, and that the prefix is shorter than the package");
    }
}

// The installer's requirement without the cdhash: resources for an app it would refuse are
// useless, so they are refused here, where the vendor sees why.
void checkInstallerWouldAccept(const VerifiedCode& app) {
    const Requirement requirement = Requirement::parse(contract::productRequirement());
    if (auto clause = unmetClause(requirement, app))
        throw std::runtime_error("the installer would refuse this app: " + clauseText(*clause) +
                                 " fails");
}

} // namespace

BootstrapManifest makeResources(const ResourceRequest& request) {
    const VerifiedCode app = verifyCode(request.app.string(), VerifyOptions{true, true});
    checkInstallerWouldAccept(app);
    const BundleVersion version = readBundleVersion(request.app);

    FileDescriptor package(::open(request.package.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!package || ::fstat(package.get(), &st) != 0)
        throwErrno(request.package.string());
    if (!S_ISREG(st.st_mode))
        throw std::runtime_error(request.package.string() + " is not a regular file");

    BootstrapManifest manifest;
    manifest.version = version.version;
    manifest.build = version.build;
    manifest.payloadURL = request.payloadURL;
    manifest.payloadBytes = static_cast<std::int64_t>(st.st_size);
    manifest.embeddedPackageBytes = request.prefixBytes;
    manifest.installedAppCDHash = lowerHex(app.cdhash);
    manifest.payloadSHA256 = std::string(64, '0');
    // Refuse what the installer would refuse before writing a byte.
    checkManifest(manifest, "before splitting");

    const FileDescriptor out = openOutputDirectory(request.output);
    std::optional<PartialFile> prefix;
    if (request.prefixBytes)
        prefix.emplace(out.get(), prefixFileName);
    PartialFile tail(out.get(), tailFileName);

    EvpMdCtxPtr sha(EVP_MD_CTX_new());
    if (!sha || EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 unavailable");
    std::vector<unsigned char> buffer(chunkBytes);
    const auto prefixBytes = static_cast<std::uint64_t>(request.prefixBytes.value_or(0));
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(package.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throwErrno(request.package.string());
        if (n == 0)
            break;
        const auto count = static_cast<std::size_t>(n);
        EVP_DigestUpdate(sha.get(), buffer.data(), count);
        std::size_t toPrefix = 0;
        if (total < prefixBytes)
            toPrefix =
                static_cast<std::size_t>(std::min<std::uint64_t>(count, prefixBytes - total));
        if (toPrefix > 0)
            prefix->write(buffer.data(), toPrefix);
        tail.write(buffer.data() + toPrefix, count - toPrefix);
        total += count;
    }
    if (total != static_cast<std::uint64_t>(st.st_size))
        throw std::runtime_error(request.package.string() + " changed while it was read");
    Sha256Digest digest{};
    EVP_DigestFinal_ex(sha.get(), digest.data(), nullptr);
    manifest.payloadSHA256 = lowerHex(digest);
    checkManifest(manifest, "after hashing");

    if (prefix)
        prefix->sync();
    tail.sync();
    if (prefix)
        prefix->commit();
    else if (::unlinkat(out.get(), prefixFileName, 0) != 0 && errno != ENOENT)
        throwErrno(prefixFileName); // a stale prefix would not match this manifest
    tail.commit();
    writeFileAt(out.get(), manifestFileName, manifest.encode() + "\n");
    return manifest;
}

} // namespace quorvane::tools
