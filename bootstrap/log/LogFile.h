#pragma once

// The diagnostic log on disk: appended to by every installer of this user, whole lines only,
// rotated at a size limit with one predecessor kept.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "base/Diagnostics.h"

namespace quorvane::diagnostics {

class LogFile final : public LogSink {
public:
    static constexpr std::uint64_t rotationBytes = 1 << 20;
    static constexpr std::string_view fileName = "installer.log";
    static constexpr std::string_view previousName = "installer.log.1";

    // Lines go to `folder`/installer.log (the folder is made, 0700, when first needed); with
    // `echo`, to standard error too.
    explicit LogFile(std::filesystem::path folder, bool echo = false);

    // $XDG_STATE_HOME/quorvane-installer when that is an absolute path, else
    // ~/.local/state/quorvane-installer with the home folder from the user database; empty when
    // there is no home folder.
    static std::filesystem::path defaultFolder();

    void append(std::string_view line) noexcept override;

private:
    std::filesystem::path folder_;
    bool echo_;
    std::atomic<bool> lockStuck_ = false; // the last wait for the lock ran out
};

} // namespace quorvane::diagnostics
