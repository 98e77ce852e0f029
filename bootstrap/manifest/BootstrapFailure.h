#pragma once

#include <exception>
#include <string>
#include <system_error>

#include <quorvane/BuildConfig.h>

namespace quorvane {

// The closed set of ways an installation can fail, each with the one sentence the user sees.
// Thrown by value for every condition the installer detects itself.
class BootstrapFailure : public std::exception {
public:
    enum class Case : unsigned char {
        configuration,
        unsupportedSystem,
        download,
        size,
        checksum,
        signature,
        cancelled,
        insufficientSpace,
        installation,
        appConflict,
        appRunning,
        launch,
    };
    static constexpr int caseCount = 12;

    static const BootstrapFailure configuration;
    static const BootstrapFailure unsupportedSystem;
    static const BootstrapFailure download;
    static const BootstrapFailure size;
    static const BootstrapFailure checksum;
    static const BootstrapFailure signature;
    static const BootstrapFailure cancelled;
    static const BootstrapFailure insufficientSpace;
    static const BootstrapFailure installation;
    static const BootstrapFailure appConflict;
    static const BootstrapFailure appRunning;
    static const BootstrapFailure launch;

    explicit BootstrapFailure(Case c);

    Case kind() const noexcept { return case_; }
    // The user-facing sentence; never empty.
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const BootstrapFailure& a, const BootstrapFailure& b) noexcept {
        return a.case_ == b.case_;
    }

    // Maps any error onto a case: a BootstrapFailure anywhere down the chain of nested errors
    // wins, out-of-space in the POSIX or Cocoa domain gives insufficientSpace, anything else
    // (cancellation included) gives the fallback. Never throws.
    static BootstrapFailure classify(std::exception_ptr error, const BootstrapFailure& fallback);

    // The unsupported-system sentence for a platform descriptor; the build's own descriptor
    // gives unsupportedSystem.message().
    static std::string unsupportedSystemMessage(const config::PlatformDescriptor& platform);
    // The out-of-space sentence names the machine as the platform's users call it.
    static std::string insufficientSpaceMessage(const config::PlatformDescriptor& platform);

private:
    Case case_;
    std::string message_;
};

// The Cocoa error domain: errors of the file layer that carry Cocoa codes (640 is a write that
// ran out of space). The POSIX domain is std::generic_category() (and, on POSIX systems,
// std::system_category(), whose codes are errno values too).
const std::error_category& cocoaErrorCategory() noexcept;
inline constexpr int cocoaFileWriteOutOfSpaceError = 640;

} // namespace quorvane
