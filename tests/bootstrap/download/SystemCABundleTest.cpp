#include "download/SystemCABundle.h"
#include "HttpsTestServer.h"
#include "TempDir.h"
#include "manifest/SystemContext.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quorvane/DownloadAuthorities.h>

namespace fs = std::filesystem;
using namespace quorvane::test;

TEST(SystemCABundle, TheFirstNonEmptyFileOfTheKnownPlacesWins) {
    TempDir dir;
    const std::string missing = (dir / "missing.pem").string();
    const std::string empty = (dir / "empty.pem").string();
    const std::string folder = (dir / "folder.pem").string();
    const std::string link = (dir / "link.pem").string();
    const std::string real = (dir / "real.pem").string();
    writeFile(empty, "");
    fs::create_directory(folder);
    writeFile(real, "-----BEGIN CERTIFICATE-----\n");
    fs::create_symlink(real, link);
    fs::create_symlink(dir / "nowhere", dir / "dangling.pem");
    const std::string dangling = (dir / "dangling.pem").string();

    const auto find = [](std::vector<std::string> paths) {
        std::vector<const char*> raw;
        for (const auto& p : paths)
            raw.push_back(p.c_str());
        return quorvane::findCABundle(raw);
    };
    EXPECT_EQ(find({missing, empty, folder, dangling, real}), real);
    EXPECT_EQ(find({missing, link, real}), link);
    EXPECT_EQ(find({missing, empty, folder}), fs::path());
    EXPECT_EQ(find({}), fs::path());
}

TEST(SystemCABundle, ThisSystemsStoreIsFound) {
    // Debian's bundle, which the test machines have (ca-certificates).
    EXPECT_EQ(quorvane::findCABundle(), "/etc/ssl/certs/ca-certificates.crt");
}

TEST(SystemCABundle, TheBuildsAuthoritiesTravelInsideTheInstaller) {
    const quorvane::SystemContext& context = quorvane::SystemContext::fromBuild();
    // Never a file of the build machine: with nothing built in, the download takes the system's
    // store itself.
    EXPECT_EQ(context.downloadCAFile, "");
    if (quorvane::config::downloadAuthorities.empty()) {
        EXPECT_EQ(context.downloadCAPem, "");
    } else {
        // The test build names its own authority's file: its text, not its path, is built in.
        EXPECT_EQ(context.downloadCAPem, readFile(authorityDirectory() / "root.pem"));
    }
}
