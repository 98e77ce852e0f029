#include "manifest/BootstrapFailure.h"

#include <cerrno>
#include <unordered_set>

namespace quorvane {
namespace {

std::string messageFor(BootstrapFailure::Case c) {
    using C = BootstrapFailure::Case;
    const std::string name{config::displayName};
    switch (c) {
    case C::configuration:
        return "This installer is not configured correctly. Download a new copy.";
    case C::unsupportedSystem:
        return BootstrapFailure::unsupportedSystemMessage(config::platform);
    case C::download:
        return "Could not download the installer. Check your connection and try again.";
    case C::size:
    case C::checksum:
    case C::signature:
        return "Installer verification failed. Try again.";
    case C::cancelled:
        return "Download cancelled.";
    case C::insufficientSpace:
        return BootstrapFailure::insufficientSpaceMessage(config::platform);
    case C::installation:
        return name + " could not be installed. Try again.";
    case C::appConflict:
        return "Another item occupies " + std::string{config::bundleName} +
               " in your Applications folder.";
    case C::appRunning:
        return "Quit " + name + ", then click Retry to install the new version.";
    case C::launch:
        return name + " could not open. Click Retry to try again.";
    }
    return "This installer is not configured correctly. Download a new copy.";
}

class CocoaCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "NSCocoaErrorDomain"; }
    std::string message(int code) const override {
        return code == cocoaFileWriteOutOfSpaceError ? "Out of space" : "Cocoa error";
    }
};

bool isPosixDomain(const std::error_category& category) {
    return category == std::generic_category() || category == std::system_category();
}

} // namespace

using C = BootstrapFailure::Case;
const BootstrapFailure BootstrapFailure::configuration{C::configuration};
const BootstrapFailure BootstrapFailure::unsupportedSystem{C::unsupportedSystem};
const BootstrapFailure BootstrapFailure::download{C::download};
const BootstrapFailure BootstrapFailure::size{C::size};
const BootstrapFailure BootstrapFailure::checksum{C::checksum};
const BootstrapFailure BootstrapFailure::signature{C::signature};
const BootstrapFailure BootstrapFailure::cancelled{C::cancelled};
const BootstrapFailure BootstrapFailure::insufficientSpace{C::insufficientSpace};
const BootstrapFailure BootstrapFailure::installation{C::installation};
const BootstrapFailure BootstrapFailure::appConflict{C::appConflict};
const BootstrapFailure BootstrapFailure::appRunning{C::appRunning};
const BootstrapFailure BootstrapFailure::launch{C::launch};

BootstrapFailure::BootstrapFailure(Case c) : case_(c), message_(messageFor(c)) {}

std::string BootstrapFailure::unsupportedSystemMessage(const config::PlatformDescriptor& platform) {
    return std::string{config::displayName} + " requires " + std::string{platform.name} + " " +
           std::to_string(platform.minimumMajorVersion) + " or later.";
}

std::string BootstrapFailure::insufficientSpaceMessage(const config::PlatformDescriptor& platform) {
    return "Your " + std::string{platform.machine} +
           " is out of space. Free up disk space, then click Retry.";
}

const std::error_category& cocoaErrorCategory() noexcept {
    static const CocoaCategory category;
    return category;
}

BootstrapFailure BootstrapFailure::classify(std::exception_ptr error,
                                            const BootstrapFailure& fallback) {
    // Walk the chain of nested errors. An error that names itself (or an earlier link) as its
    // underlying error ends the walk with the fallback instead of looping.
    std::unordered_set<const void*> seen;
    while (error) {
        const void* self = nullptr;
        std::exception_ptr underlying;
        try {
            std::rethrow_exception(error);
        } catch (const BootstrapFailure& failure) {
            return failure;
        } catch (const std::system_error& e) {
            const auto& category = e.code().category();
            const int code = e.code().value();
            if ((category == cocoaErrorCategory() && code == cocoaFileWriteOutOfSpaceError) ||
                (isPosixDomain(category) && code == ENOSPC))
                return insufficientSpace;
            self = &e;
            if (auto* nested = dynamic_cast<const std::nested_exception*>(&e))
                underlying = nested->nested_ptr();
        } catch (const std::exception& e) {
            self = &e;
            if (auto* nested = dynamic_cast<const std::nested_exception*>(&e))
                underlying = nested->nested_ptr();
        } catch (const std::nested_exception& e) {
            self = &e;
            underlying = e.nested_ptr();
        } catch (...) {
            return fallback;
        }
        if (!seen.insert(self).second)
            return fallback;
        error = underlying;
    }
    return fallback;
}

} // namespace quorvane
