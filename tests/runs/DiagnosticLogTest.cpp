// The diagnostic log of whole runs: each failure leaves the cause that support needs, secrets in
// the URL never reach it, and a log that cannot be written changes nothing.

#include "RunRig.h"

#include "Process.h"
#include "SmallFileSystem.h"
#include "Workspace.h"
#include "log/LogFile.h"
#include "manifest/BootstrapFailure.h"

#include <algorithm>
#include <functional>
#include <string_view>
#include <vector>

#include <sched.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

fs::path logFolder(const RunRig& rig) {
    return rig.root / "state" / "quorvane-installer";
}

std::string logOf(const RunRig& rig) {
    const fs::path file = logFolder(rig) / "installer.log";
    return fs::exists(file) ? readFile(file) : std::string();
}

// Every line the rig's runs record goes to the rig's own log folder.
void logTo(const RunRig& rig) {
    diagnostics::setSink(std::make_shared<diagnostics::LogFile>(logFolder(rig)));
}

struct FailureRow {
    std::string name;
    RunRig::Options options;
    // Sets the fault up; returns the texts that one line of the log must hold.
    std::function<std::vector<std::string>(RunRig&)> arrange;
    bool start = true;
};

void PrintTo(const FailureRow& row, std::ostream* out) {
    *out << row.name;
}

bool hasLineWith(const std::string& log, const std::vector<std::string>& texts) {
    std::size_t start = 0;
    while (start < log.size()) {
        const std::size_t end = std::min(log.find('\n', start), log.size());
        const std::string_view line(log.data() + start, end - start);
        bool all = true;
        for (const auto& t : texts)
            all = all && line.find(t) != std::string_view::npos;
        if (all)
            return true;
        start = end + 1;
    }
    return false;
}

const FailureRow failureRows[] = {
    {"NotFound",
     {},
     [](RunRig& rig) -> std::vector<std::string> {
         rig.server.route("/tail", {.status = 404, .body = "gone"});
         return {"HTTP 404"};
     }},
    {"UnknownAuthority",
     {},
     [](RunRig& rig) -> std::vector<std::string> {
         makeAuthority(rig.root / "other", "Q4ZT8WX2LM", "Quorvane Labs", "Other Root CA");
         rig.adjust = [&rig](BootstrapModel::Environment& env) {
             env.system.downloadCAFile = (rig.root / "other" / "root.pem").string();
         };
         rig.makeModel();
         return {"libcurl error 60"};
     }},
    {"StalledServer",
     {.prefix = false},
     [](RunRig& rig) -> std::vector<std::string> {
         rig.server.route("/tail", {.body = rig.package, .stallAfter = 0});
         rig.adjust = [](BootstrapModel::Environment& env) {
             env.download.stallTimeout = std::chrono::seconds(1);
             env.download.connectTimeout = std::chrono::seconds(1);
             env.download.reconnectWaits.fill(std::chrono::milliseconds(1));
         };
         rig.makeModel();
         return {"libcurl error 28"};
     }},
    {"UnsignedPackage",
     {},
     [](RunRig& rig) -> std::vector<std::string> {
         rig.setFault("signature", true);
         return {"package tool said:", "Status: no signature"};
     }},
    {"AnotherTeam",
     {},
     [](RunRig& rig) -> std::vector<std::string> {
         rig.setFault("team", true);
         return {"package tool said:", "Developer ID Installer: Other Labs (ZZ9ZZ9ZZ9Z)"};
     }},
    {"AnotherBuildsCdhash",
     {.realTools = true},
     [](RunRig& rig) -> std::vector<std::string> {
         rig.manifest.installedAppCDHash = std::string(40, 'a');
         rig.rewriteManifest();
         return {"codesign '--verify'", "-> exit status 3"};
     }},
    {"TamperedApp",
     {.realTools = true},
     [](RunRig& rig) -> std::vector<std::string> {
         if (!rig.republishWithTamperedApp())
             ADD_FAILURE() << "could not rebuild the package";
         return {"codesign '--verify'", "-> exit status 1"};
     }},
    {"AppRunning",
     {},
     [](RunRig& rig) -> std::vector<std::string> {
         const fs::path elsewhere = rig.root / "elsewhere" / "Quorvane Pro.app";
         rig.makeProductBundle(elsewhere, "1.0", "100.1");
         if (!workspace::openApplication(elsewhere, std::chrono::seconds(10)))
             ADD_FAILURE() << "the product did not start";
         const auto running = workspace::runningApplications(config::productBundleIdentifier);
         if (running.empty())
             return std::vector<std::string>{"(nothing runs)"};
         return std::vector<std::string>{"the product runs as process " +
                                         std::to_string(running.front().pid) + " "};
     }},
    {"InvalidManifest",
     {},
     [](RunRig& rig) -> std::vector<std::string> {
         rig.manifest.payloadURL = "http://127.0.0.1/tail";
         rig.rewriteManifest();
         return {"manifest: invalid: payloadURL must use https"};
     },
     false},
};

class FailureLog : public ::testing::TestWithParam<FailureRow> {};

} // namespace

TEST_P(FailureLog, HoldsTheCauseAndTheSentence) {
    const FailureRow& row = GetParam();
    RunRig rig(row.options);
    logTo(rig);
    const std::vector<std::string> texts = row.arrange(rig);
    if (row.start)
        rig.startAndSettle();
    diagnostics::setSink(nullptr);
    ASSERT_FALSE(rig.phases.empty() && row.start);
    const std::string log = logOf(rig);
    EXPECT_TRUE(hasLineWith(log, texts)) << "no line with \"" << texts.back() << "\" in:\n" << log;
    if (row.start) {
        // The sentence the window showed, and the run it belongs to.
        const std::string shown = rig.phases.back().substr(std::string("failed: ").size());
        EXPECT_NE(log.find("run failed: \"" + shown + "\""), std::string::npos) << log;
    }
    EXPECT_NE(log.find("[" + diagnostics::runId() + "] "), std::string::npos);
    EXPECT_EQ(fs::status(logFolder(rig) / "installer.log").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(logFolder(rig)).permissions(), fs::perms::owner_all);
}

INSTANTIATE_TEST_SUITE_P(Run, FailureLog, ::testing::ValuesIn(failureRows),
                         [](const auto& info) { return info.param.name; });

TEST(DiagnosticLog, AFullDiskNamesENOSPC) {
    RunRig rig({.realTools = true});
    // The expansion lands beside the destination, on a file system smaller than the app.
    SmallFileSystem small(rig.applications, 512 * 1024);
    if (!small.mounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    logTo(rig);
    rig.startAndSettle();
    diagnostics::setSink(nullptr);
    EXPECT_EQ(rig.phases.back(), "failed: " + BootstrapFailure::insufficientSpace.message());
    const std::string log = logOf(rig);
    EXPECT_NE(log.find("ENOSPC"), std::string::npos) << log;
}

TEST(DiagnosticLog, AQueryTokenInThePayloadUrlNeverReachesTheLog) {
    RunRig rig;
    rig.manifest.payloadURL += "?token=s3cr3t-t0ken";
    rig.rewriteManifest();
    logTo(rig);
    rig.startAndSettle();
    diagnostics::setSink(nullptr);
    EXPECT_EQ(rig.terminated, 1) << "installed and opened";
    stopAppsIn(rig.installedApp());
    const std::string log = logOf(rig);
    EXPECT_NE(log.find("download: from 127.0.0.1, no proxy named"), std::string::npos) << log;
    EXPECT_NE(log.find("phase: installing"), std::string::npos) << log;
    EXPECT_EQ(log.find("s3cr3t"), std::string::npos) << log;
}

TEST(DiagnosticLog, AReadOnlyLogFolderChangesNothing) {
    // A mount namespace of this test's own, so the read-only mount is seen by nothing else.
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        GTEST_SKIP() << "a mount namespace needs root";
    RunRig rig;
    fs::create_directories(logFolder(rig));
    const std::string folder = logFolder(rig).string();
    ASSERT_EQ(::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
              0);
    logTo(rig);
    rig.startAndSettle();
    diagnostics::setSink(nullptr);
    EXPECT_EQ(rig.phases,
              (std::vector<std::string>{"checking", "downloading", "verifying", "installing"}));
    EXPECT_EQ(rig.terminated, 1);
    EXPECT_EQ(stopAppsIn(rig.installedApp()), 1);
    EXPECT_FALSE(fs::exists(logFolder(rig) / "installer.log"));
    ::umount(folder.c_str());
}
