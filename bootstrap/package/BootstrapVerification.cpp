#include "package/BootstrapVerification.h"

#include <algorithm>
#include <cstdint>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Ascii.h"
#include "base/Cancellation.h"
#include "base/Diagnostics.h"
#include "base/Digest.h"
#include "base/FileIo.h"
#include "base/Rename.h"
#include "base/ToolRunner.h"
#include "manifest/BootstrapFailure.h"
#include "package/PackageJoin.h"
#include "package/SignatureVerdict.h"

namespace quorvane::BootstrapVerification {
namespace {

std::uint64_t lengthBySeeking(int fd) {
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0)
        throwErrno("lseek");
    return static_cast<std::uint64_t>(end);
}

void checkSignature(const std::filesystem::path& package, const SystemContext& context,
                    std::stop_token stop) {
    SignatureVerdict verdict;
    std::string said; // for the log; the verdict reads all of it
    constexpr std::size_t logged = 8192;
    const int status = runReadingOutput(
        context.pkgutil, {"--check-signature", package.string()}, {"LC_ALL=C"},
        [&](std::string_view piece) {
            verdict.feed(piece);
            said.append(piece.substr(0, logged - std::min(logged, said.size())));
        },
        std::move(stop));
    diagnostics::record("package tool said: " + said);
    if (!verdict.accepts(status))
        throw BootstrapFailure::signature;
}

} // namespace

void assemble(const std::filesystem::path& prefix, const std::filesystem::path& tail,
              const std::filesystem::path& at, const BootstrapManifest& manifest,
              std::stop_token stop) {
    if (!manifest.embeddedPackageBytes)
        throw BootstrapFailure::configuration;
    // The manifest is valid by contract; refuse values that would wrap the unsigned sums.
    if (*manifest.embeddedPackageBytes < 0 ||
        manifest.payloadBytes < *manifest.embeddedPackageBytes)
        throw BootstrapFailure::configuration;
    const auto n = static_cast<std::uint64_t>(*manifest.embeddedPackageBytes);
    const std::uint64_t d = manifest.tailBytes();

    // Declared in this order so that the tail is closed before the prefix.
    const FileDescriptor prefixFile = openFile(prefix, O_RDONLY);
    const FileDescriptor tailFile = openFile(tail, O_RDWR);
    for (const auto& [part, file, expected] :
         {std::tuple{"prefix", prefixFile.get(), n}, std::tuple{"tail", tailFile.get(), d}}) {
        if (const std::uint64_t length = lengthBySeeking(file); length != expected) {
            diagnostics::record("assemble: the " + std::string(part) + " holds " +
                                std::to_string(length) + " bytes, the manifest says " +
                                std::to_string(expected));
            throw BootstrapFailure::size;
        }
    }

    joinInPlace(prefixFile.get(), tailFile.get(), n, d, [&] { throwIfCancelled(stop); });
    // No sync: the file lives in a private staging folder that the next run removes after a
    // power cut, and the package is verified in full before it is used.
    moveNoReplace(tail, at);
}

void verify(const std::filesystem::path& package, const BootstrapManifest& manifest,
            std::stop_token stop, const SystemContext& context) {
    manifest.validate();

    // The size comes from the open file itself, so that it belongs to the bytes hashed below.
    const FileDescriptor file = openFile(package, O_RDONLY);
    struct stat attributes {};
    if (::fstat(file.get(), &attributes) != 0)
        throwErrno("fstat");
    if (!S_ISREG(attributes.st_mode) || attributes.st_size != manifest.payloadBytes) {
        diagnostics::record("verify: the package holds " + std::to_string(attributes.st_size) +
                            " bytes, the manifest says " + std::to_string(manifest.payloadBytes));
        throw BootstrapFailure::size;
    }

    if (const std::string digest = sha256Hex(file.get(), stop);
        digest != lowerAscii(manifest.payloadSHA256)) {
        diagnostics::record("verify: the package's SHA-256 is " + digest);
        throw BootstrapFailure::checksum;
    }

    checkSignature(package, context, std::move(stop));
}

} // namespace quorvane::BootstrapVerification
