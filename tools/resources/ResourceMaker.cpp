#include "ResourceMaker.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "CodeVerifier.h"
#include "FileHandles.h"
#include "base/Digest.h"
#include "base/InfoPlist.h"
#include "base/Rename.h"
#include "contract/CodeRequirement.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane::tools {
namespace {

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

struct BundleVersion {
    std::string version; // CFBundleShortVersionString
    std::string build;   // CFBundleVersion
};

// The two version keys of the app's Contents/Info.plist (XML or binary), each a non-empty string.
BundleVersion readBundleVersion(const std::filesystem::path& app) {
    const auto plist = InfoPlist::parse(
        readSmallFile((app / "Contents" / "Info.plist").string(), InfoPlist::maxBytes));
    if (!plist)
        throw std::runtime_error("Info.plist is not a property list dictionary");
    const auto value = [&](const char* key) {
        auto text = plist->string(key);
        if (!text)
            throw std::runtime_error(std::string("Info.plist has no string ") + key);
        if (text->empty())
            throw std::runtime_error(std::string("Info.plist has an empty ") + key);
        return *std::move(text);
    };
    return BundleVersion{value("CFBundleShortVersionString"), value("CFBundleVersion")};
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
    std::optional<ReplacementFile> prefix;
    if (request.prefixBytes)
        prefix.emplace(out.get(), prefixFileName);
    ReplacementFile tail(out.get(), tailFileName);

    Hasher sha;
    const ChunkBuffer chunk;
    const std::span<char> buffer = chunk.span();
    const auto prefixBytes = static_cast<std::uint64_t>(request.prefixBytes.value_or(0));
    std::uint64_t total = 0;
    for (;;) {
        const std::size_t count = readSome(package.get(), buffer);
        if (count == 0)
            break;
        sha.update(buffer.first(count));
        std::size_t toPrefix = 0;
        if (total < prefixBytes)
            toPrefix =
                static_cast<std::size_t>(std::min<std::uint64_t>(count, prefixBytes - total));
        if (toPrefix > 0)
            prefix->write(buffer.first(toPrefix));
        tail.write(buffer.subspan(toPrefix, count - toPrefix));
        total += count;
    }
    if (total != static_cast<std::uint64_t>(st.st_size))
        throw std::runtime_error(request.package.string() + " changed while it was read");
    manifest.payloadSHA256 = hexDigits(sha.finish());
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
