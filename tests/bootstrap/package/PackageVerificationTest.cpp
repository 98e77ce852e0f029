#include "base/Cancellation.h"
#include "manifest/BootstrapFailure.h"
#include "package/BootstrapVerification.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "FakeTool.h"
#include "FakeTools.h"
#include "TempDir.h"

using quorvane::BootstrapFailure;
using quorvane::BootstrapManifest;
using quorvane::CancellationError;
using quorvane::SystemContext;
using quorvane::test::FakeTool;
using quorvane::test::TempDir;
using quorvane::test::writeFile;
namespace BootstrapVerification = quorvane::BootstrapVerification;

namespace {

const std::string kTrusted = "Status: signed by a certificate trusted by macOS\n";
const std::string kDistribution =
    "Status: signed by a developer certificate issued by Apple for distribution\n";
const std::string kChain = "Certificate Chain:\n"
                           " 1. Developer ID Installer: Quorvane Labs (Q4ZT8WX2LM)\n"
                           " 2. Developer ID Certification Authority\n";

std::string sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// A package in a folder whose name has spaces, its manifest, and a fake package tool.
struct Package {
    TempDir dir;
    std::filesystem::path path = dir / "Quorvane Pro.pkg";
    std::string bytes;
    BootstrapManifest manifest;

    Package() {
        std::mt19937 random(7);
        bytes.resize(2 * (1 << 20) + 5);
        for (char& c : bytes)
            c = static_cast<char>(random());
        writeFile(path, bytes);
        manifest.version = "2.4.1";
        manifest.build = "2410.1";
        manifest.payloadURL = "https://downloads.example.com/pro.pkg";
        manifest.payloadBytes = static_cast<std::int64_t>(bytes.size());
        manifest.payloadSHA256 = sha256(bytes);
    }

    FakeTool tool(const FakeTool::Behaviour& behaviour) const {
        return FakeTool(dir / "tool folder", behaviour);
    }
    void verify(const FakeTool& tool, std::stop_token stop = {}) const {
        SystemContext context;
        context.pkgutil = tool.path().string();
        BootstrapVerification::verify(path, manifest, stop, context);
    }
};

std::optional<BootstrapFailure> failureOf(const std::function<void()>& work) {
    try {
        work();
        return std::nullopt;
    } catch (const BootstrapFailure& f) {
        return f;
    }
}

} // namespace

TEST(PackageVerification, SignatureVerdictFollowsTheToolsTextAndStatus) {
    const std::string filler(20 * 1000 * 1000, 'x');
    const struct {
        const char* name;
        FakeTool::Behaviour tool;
        bool accepted;
    } cases[] = {
        {"trusted by macOS", {.out = kTrusted + kChain}, true},
        {"issued for distribution", {.out = kDistribution + kChain}, true},
        {"status on stdout, chain on stderr", {.out = kTrusted, .err = kChain}, true},
        {"texts in another order", {.out = kChain + kTrusted}, true},
        {"exit status 1 with good text", {.out = kTrusted + kChain, .status = 1}, false},
        {"killed after good text", {.out = kTrusted + kChain, .killed = true}, false},
        {"another team",
         {.out = kTrusted + "Developer ID Installer: Other Labs (ABCDEFGHIJ)\n"},
         false},
        {"application certificate, not installer",
         {.out = kTrusted + "Developer ID Application: Quorvane Labs (Q4ZT8WX2LM)\n"},
         false},
        {"no accepted status", {.out = "Status: no signature\n" + kChain}, false},
        {"status in other case",
         {.out = "status: signed by a certificate trusted by macOS\n" + kChain},
         false},
        {"invalid UTF-8 around the good lines",
         {.out = "\xFF\xFE" + kTrusted + "\xC3" + kChain.substr(0, kChain.find('(')) + "\xE2\x82" +
                 kChain.substr(kChain.find('(')) + "\xF0\x9F"},
         true},
        {"20 MB of output before the good lines", {.out = filler, .err = kTrusted + kChain}, true},
        {"20 MB of output and no verdict", {.out = filler + kTrusted}, false},
    };
    Package package;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FakeTool tool = package.tool(c.tool);
        const auto failure = failureOf([&] { package.verify(tool); });
        if (c.accepted)
            EXPECT_EQ(failure, std::nullopt);
        else
            EXPECT_EQ(failure, BootstrapFailure::signature);
    }
}

TEST(PackageVerification, ToolGetsThePlainPathAndTheCLocale) {
    ASSERT_EQ(::setenv("LC_ALL", "de_DE.UTF-8", 1), 0);
    Package package;
    const FakeTool tool = package.tool({.out = kTrusted + kChain});
    package.verify(tool);
    ::unsetenv("LC_ALL");
    EXPECT_EQ(tool.arguments(), "--check-signature\n" + package.path.string() + "\n");
    EXPECT_EQ(tool.localeAll(), "C");
}

TEST(PackageVerification, SizeAndDigestAreCheckedBeforeTheTool) {
    const struct {
        const char* name;
        std::function<void(Package&)> change;
        std::optional<BootstrapFailure> failure;
    } cases[] = {
        {"digest in upper case",
         [](Package& p) {
             for (char& c : p.manifest.payloadSHA256)
                 c = static_cast<char>(std::toupper(c));
         },
         std::nullopt},
        {"one byte more", [](Package& p) { writeFile(p.path, p.bytes + "x"); },
         BootstrapFailure::size},
        {"one byte less", [](Package& p) { writeFile(p.path, p.bytes.substr(1)); },
         BootstrapFailure::size},
        {"one byte changed",
         [](Package& p) {
             std::string changed = p.bytes;
             changed[changed.size() / 2] ^= 1;
             writeFile(p.path, changed);
         },
         BootstrapFailure::checksum},
        {"manifest fails validation", [](Package& p) { p.manifest.localTesting = true; },
         BootstrapFailure::configuration},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Package package;
        c.change(package);
        const FakeTool tool = package.tool({.out = kTrusted + kChain});
        EXPECT_EQ(failureOf([&] { package.verify(tool); }), c.failure);
        EXPECT_EQ(tool.ran(), !c.failure.has_value());
    }
}

TEST(PackageVerification, PlatformErrorsAndCancellationPassUpUnchanged) {
    Package package;
    const auto errnoOf = [](const std::function<void()>& work) {
        try {
            work();
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().category(), std::generic_category());
            return e.code().value();
        }
        return 0;
    };

    SystemContext noTool;
    noTool.pkgutil = (package.dir / "missing tool").string();
    EXPECT_EQ(
        errnoOf([&] { BootstrapVerification::verify(package.path, package.manifest, {}, noTool); }),
        ENOENT);

    const FakeTool tool = package.tool({.out = kTrusted + kChain});
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(package.verify(tool, stop.get_token()), CancellationError);
    EXPECT_FALSE(tool.ran());

    // A check that would never end is ended when its task is cancelled.
    quorvane::test::writeScript(package.dir / "endless",
                                ": > \"$(dirname \"$0\")/started\"\nexec sleep 1000\n");
    SystemContext endless;
    endless.pkgutil = (package.dir / "endless").string();
    std::stop_source later;
    auto running = std::async(std::launch::async, [&] {
        BootstrapVerification::verify(package.path, package.manifest, later.get_token(), endless);
    });
    for (int i = 0; i < 3000 && !std::filesystem::exists(package.dir / "started"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    later.request_stop();
    EXPECT_THROW(running.get(), CancellationError);
    EXPECT_TRUE(std::filesystem::exists(package.dir / "started"));

    std::filesystem::remove(package.path);
    EXPECT_EQ(errnoOf([&] { package.verify(tool); }), ENOENT);
}
