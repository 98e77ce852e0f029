#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "base/FileIo.h"
#include "download/DownloadPacing.h"
#include "manifest/BootstrapManifest.h"

namespace quorvane {

class BootstrapFailure;

// The tail as it grows on disk beside its record, and the reports about it. Lives on the
// transfer thread only.
class PartialTail {
public:
    using Progress = std::function<void(std::int64_t received)>;

    PartialTail(const std::filesystem::path& destination, const BootstrapManifest& manifest,
                Progress& progress, DownloadPacing::Now now);

    static std::filesystem::path partialPath(const std::filesystem::path& destination);
    static std::filesystem::path recordPath(const std::filesystem::path& destination);
    // Bytes of a kept tail at `destination` that a fetch of `manifest` would continue from.
    static std::uint64_t resumable(const std::filesystem::path& destination,
                                   const BootstrapManifest& manifest);
    // After which failures a download keeps what it holds for a later fetch to continue: those
    // of the network and of space.
    static bool keptAfter(const BootstrapFailure& failure);

    // Continues a kept tail recorded for this payload; anything else is thrown away. Whatever
    // else sits at the tail's name (a FIFO, a link, a file with other names) is never opened
    // for writing: the name is unlinked and a new file made.
    void open();
    // Empties the file; the record stays.
    void truncate();
    // Forgets what is held, record included, and reports the fall.
    void startOver();
    // Records what the kept bytes can be continued with. A record that cannot be written never
    // fails the download: the tail is then not resumable, and a dropped connection starts over.
    void keep(std::string validator);
    // Writes straight from libcurl's buffer, while it is still in the CPU's cache.
    void take(const char* data, std::size_t length);
    // Reports the held count if one is due; `final` reports any change at once.
    void report(bool final);
    // Closes the file (some file systems report a failed write only then) and moves it to
    // `destination`; the record goes.
    void finish(const std::filesystem::path& destination);
    void discard();

    std::uint64_t size() const noexcept { return size_; }
    std::uint64_t held() const noexcept { return held_; }
    // Empty: what is held cannot be continued.
    const std::string& validator() const noexcept { return validator_; }
    bool resumable() const noexcept { return !validator_.empty() && held_ > 0; }

private:
    std::filesystem::path partial_;
    std::filesystem::path recordFile_;
    const BootstrapManifest& manifest_;
    std::uint64_t size_;
    Progress& progress_;
    DownloadPacing pacing_;
    FileDescriptor file_;
    std::uint64_t held_ = 0;
    std::string validator_;
};

} // namespace quorvane
