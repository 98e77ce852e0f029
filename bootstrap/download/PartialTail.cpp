#include "download/PartialTail.h"

#include <span>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Diagnostics.h"
#include "base/Rename.h"
#include "download/TailRecord.h"
#include "manifest/BootstrapFailure.h"
#include "manifest/ErrorChain.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

void removeQuietly(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

} // namespace

PartialTail::PartialTail(const fs::path& destination, const BootstrapManifest& manifest,
                         Progress& progress, DownloadPacing::Now now)
    : partial_(partialPath(destination)), recordFile_(recordPath(destination)), manifest_(manifest),
      size_(manifest.tailBytes()), progress_(progress), pacing_(std::move(now)) {}

fs::path PartialTail::partialPath(const fs::path& destination) {
    return destination.parent_path() / (destination.filename().string() + ".partial");
}

fs::path PartialTail::recordPath(const fs::path& destination) {
    return destination.parent_path() / (destination.filename().string() + ".source");
}

std::uint64_t PartialTail::resumable(const fs::path& destination,
                                     const BootstrapManifest& manifest) {
    const auto record = TailRecord::read(recordPath(destination));
    if (!record || !record->sameSource(manifest))
        return 0;
    struct stat info {};
    // A tail with other names is never continued (see open()).
    if (::lstat(partialPath(destination).c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_nlink != 1)
        return 0;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    return size <= manifest.tailBytes() ? size : 0;
}

bool PartialTail::keptAfter(const BootstrapFailure& failure) {
    return failure == BootstrapFailure::download || failure == BootstrapFailure::insufficientSpace;
}

void PartialTail::open() {
    const auto record = TailRecord::read(recordFile_);
    bool keep = record && record->sameSource(manifest_);
    try {
        file_ = openPlainFile(AT_FDCWD, partial_, O_RDWR | O_CREAT, 0600);
    } catch (const std::system_error&) {
        diagnostics::record("download: a new tail replaces what was at its name:\n" +
                            diagnostics::describeChain(std::current_exception()));
        file_ = createFreshFile(partial_, O_RDWR, 0600);
        keep = false;
    }
    // The umask may have taken the owner's bits away; the tail is reopened and joined later.
    if (::fchmod(file_.get(), 0600) != 0)
        throwErrno("fchmod");
    struct stat info {};
    if (::fstat(file_.get(), &info) != 0)
        throwErrno("fstat");
    held_ = static_cast<std::uint64_t>(info.st_size);
    if (keep && held_ > 0 && held_ <= size_) {
        validator_ = record->validator;
    } else {
        removeQuietly(recordFile_);
        truncate();
    }
    report(true);
}

void PartialTail::truncate() {
    if (::ftruncate(file_.get(), 0) != 0)
        throwErrno("ftruncate");
    held_ = 0;
}

void PartialTail::startOver() {
    validator_.clear();
    removeQuietly(recordFile_);
    truncate();
    report(true);
}

void PartialTail::keep(std::string validator) {
    validator_.clear();
    if (!validator.empty()) {
        try {
            TailRecord::of(manifest_, validator).write(recordFile_);
            validator_ = std::move(validator);
            return;
        } catch (...) {
            diagnostics::record("download: the tail cannot be resumed: its record was not "
                                "written:\n" +
                                diagnostics::describeChain(std::current_exception()));
        }
    }
    removeQuietly(recordFile_);
}

void PartialTail::take(const char* data, std::size_t length) {
    std::uint64_t at = held_;
    held_ = pacing_.take(
        held_, length,
        [&](std::uint64_t n) {
            writeAllAt(file_.get(), std::span(data, n), at);
            data += n;
            at += n;
        },
        [&](std::uint64_t total) {
            if (progress_)
                progress_(static_cast<std::int64_t>(total));
        });
}

void PartialTail::report(bool final) {
    if ((final ? pacing_.settle(held_) : pacing_.due(held_)) && progress_)
        progress_(static_cast<std::int64_t>(held_));
}

void PartialTail::finish(const fs::path& destination) {
    report(true);
    if (::close(file_.release()) != 0)
        throwErrno("close");
    moveNoReplace(partial_, destination);
    removeQuietly(recordFile_);
}

void PartialTail::discard() {
    file_.reset();
    removeQuietly(partial_);
    removeQuietly(recordFile_);
}

} // namespace quorvane
