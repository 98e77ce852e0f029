#include "manifest/BootstrapFailure.h"
#include "base/Cancellation.h"

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

using quorvane::BootstrapFailure;
using quorvane::CancellationError;
using quorvane::cocoaErrorCategory;

namespace {

std::exception_ptr posix(int code) {
    return std::make_exception_ptr(std::system_error(code, std::generic_category()));
}
std::exception_ptr cocoa(int code) {
    return std::make_exception_ptr(std::system_error(code, cocoaErrorCategory()));
}

// `outer` thrown while `inner` is being handled: outer's underlying error is inner.
template <class Outer> std::exception_ptr nest(std::exception_ptr inner, Outer outer) {
    try {
        std::rethrow_exception(inner);
    } catch (...) {
        try {
            std::throw_with_nested(outer);
        } catch (...) {
            return std::current_exception();
        }
    }
    return {};
}

} // namespace

TEST(BootstrapFailure, MessagesAreVerbatimAndInDeclarationOrder) {
    const std::pair<BootstrapFailure, const char*> table[] = {
        {BootstrapFailure::configuration,
         "This installer is not configured correctly. Download a new copy."},
        {BootstrapFailure::unsupportedSystem, "Quorvane Pro requires Linux 5 or later."},
        {BootstrapFailure::download,
         "Could not download the installer. Check your connection and try again."},
        {BootstrapFailure::size, "Installer verification failed. Try again."},
        {BootstrapFailure::checksum, "Installer verification failed. Try again."},
        {BootstrapFailure::signature, "Installer verification failed. Try again."},
        {BootstrapFailure::cancelled, "Download cancelled."},
        {BootstrapFailure::insufficientSpace,
         "Your computer is out of space. Free up disk space, then click Retry."},
        {BootstrapFailure::installation, "Quorvane Pro could not be installed. Try again."},
        {BootstrapFailure::appConflict,
         "Another item occupies Quorvane Pro.app in your Applications folder."},
        {BootstrapFailure::appRunning,
         "Quit Quorvane Pro, then click Retry to install the new version."},
        {BootstrapFailure::launch, "Quorvane Pro could not open. Click Retry to try again."},
    };
    ASSERT_EQ(std::size(table), static_cast<size_t>(BootstrapFailure::caseCount));
    for (size_t i = 0; i < std::size(table); ++i) {
        const auto& [failure, text] = table[i];
        EXPECT_EQ(static_cast<size_t>(failure.kind()), i);
        EXPECT_EQ(failure.message(), text);
        EXPECT_STREQ(failure.what(), text);
    }
}

TEST(BootstrapFailure, PlatformSentencesFollowThePlatformDescriptor) {
    EXPECT_EQ(BootstrapFailure::unsupportedSystemMessage(quorvane::config::macPlatform),
              "Quorvane Pro requires Apple silicon and macOS 26 or later.");
    EXPECT_EQ(BootstrapFailure::unsupportedSystem.message(),
              BootstrapFailure::unsupportedSystemMessage(quorvane::config::platform));
    EXPECT_EQ(BootstrapFailure::insufficientSpaceMessage(quorvane::config::macPlatform),
              "Your Mac is out of space. Free up disk space, then click Retry.");
    EXPECT_EQ(BootstrapFailure::insufficientSpace.message(),
              BootstrapFailure::insufficientSpaceMessage(quorvane::config::platform));
}

TEST(BootstrapFailure, EqualityIsByCaseAlone) {
    EXPECT_EQ(BootstrapFailure::size, BootstrapFailure(BootstrapFailure::Case::size));
    EXPECT_NE(BootstrapFailure::size, BootstrapFailure::checksum);
    EXPECT_EQ(BootstrapFailure::size.message(), BootstrapFailure::signature.message());
}

TEST(BootstrapFailure, Classify) {
    const auto fallback = BootstrapFailure::installation;
    const std::exception_ptr deepPosix28 =
        nest(nest(posix(ENOSPC), std::runtime_error("middle")), std::runtime_error("outer"));
    const struct {
        const char* name;
        std::exception_ptr error;
        BootstrapFailure expected;
    } cases[] = {
        {"failure itself", std::make_exception_ptr(BootstrapFailure::checksum),
         BootstrapFailure::checksum},
        {"cocoa 640", cocoa(640), BootstrapFailure::insufficientSpace},
        {"cocoa 641", cocoa(641), fallback},
        {"cocoa 28", cocoa(28), fallback},
        {"posix 28", posix(ENOSPC), BootstrapFailure::insufficientSpace},
        {"posix 5", posix(EIO), fallback},
        {"system category 28",
         std::make_exception_ptr(std::system_error(ENOSPC, std::system_category())),
         BootstrapFailure::insufficientSpace},
        {"filesystem error 28",
         std::make_exception_ptr(std::filesystem::filesystem_error(
             "write", std::make_error_code(std::errc::no_space_on_device))),
         BootstrapFailure::insufficientSpace},
        {"posix 28 two levels down", deepPosix28, BootstrapFailure::insufficientSpace},
        {"failure under a platform error",
         nest(std::make_exception_ptr(BootstrapFailure::appRunning),
              std::system_error(EIO, std::generic_category())),
         BootstrapFailure::appRunning},
        {"failure three levels down",
         nest(nest(nest(std::make_exception_ptr(BootstrapFailure::signature),
                        std::runtime_error("a")),
                   std::logic_error("b")),
              std::runtime_error("c")),
         BootstrapFailure::signature},
        {"cancellation", std::make_exception_ptr(CancellationError{}), fallback},
        {"plain runtime error", std::make_exception_ptr(std::runtime_error("x")), fallback},
        {"not an exception class", std::make_exception_ptr(42), fallback},
        {"no error", std::exception_ptr{}, fallback},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BootstrapFailure::classify(c.error, fallback), c.expected) << c.name;
    EXPECT_EQ(BootstrapFailure::classify(std::make_exception_ptr(CancellationError{}),
                                         BootstrapFailure::download),
              BootstrapFailure::download);
}

namespace {
struct SelfNamed : std::runtime_error, std::nested_exception {
    SelfNamed() : std::runtime_error("self") {}
};
} // namespace

TEST(BootstrapFailure, AnErrorThatNamesItselfAsItsUnderlyingErrorGivesTheFallback) {
    // Made inside the handler of the error itself, the nested exception captures that very
    // object, which is then given it as its own underlying error.
    std::exception_ptr error = std::make_exception_ptr(SelfNamed{});
    try {
        std::rethrow_exception(error);
    } catch (SelfNamed& self) {
        static_cast<std::nested_exception&>(self) = std::nested_exception{};
    }
    ASSERT_NO_THROW({
        try {
            std::rethrow_exception(error);
        } catch (SelfNamed& self) {
            ASSERT_EQ(self.nested_ptr(), error);
        }
    });
    EXPECT_EQ(BootstrapFailure::classify(error, BootstrapFailure::launch),
              BootstrapFailure::launch);

    // Break the reference cycle so that the exception object is freed: an empty nested
    // exception is one made outside any handler.
    const std::nested_exception empty;
    try {
        std::rethrow_exception(error);
    } catch (SelfNamed& self) {
        static_cast<std::nested_exception&>(self) = empty;
    }
}
