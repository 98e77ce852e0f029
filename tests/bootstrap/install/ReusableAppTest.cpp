#include "FakeTools.h"
#include "TempDir.h"
#include "base/InfoPlist.h"
#include "install/BootstrapSystemInstaller.h"
#include "install/SystemInstallerDetail.h"

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
namespace installer = quorvane::BootstrapSystemInstaller;
using namespace quorvane::test;

namespace {

std::string binaryInfoPlist(const std::string& version, const std::string& build) {
    const std::unique_ptr<void, void (*)(plist_t)> dict(plist_new_dict(), plist_free);
    plist_dict_set_item(dict.get(), "CFBundleShortVersionString",
                        plist_new_string(version.c_str()));
    plist_dict_set_item(dict.get(), "CFBundleVersion", plist_new_string(build.c_str()));
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict.get(), &data, &length);
    std::string result(data, length);
    std::free(data);
    return result;
}

std::string plistWithBody(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
           "\n</plist>\n";
}

struct ReusableApp : ::testing::Test {
    TempDir tmp;
    FakeTools tools{tmp / "tools"};
    fs::path user = tmp / "home" / "Applications";
    fs::path system = tmp / "system" / "Applications";
    quorvane::SystemContext context = tools.context(user, system);

    fs::path userApp() const { return user / "Quorvane Pro.app"; }
    fs::path systemApp() const { return system / "Quorvane Pro.app"; }
};

} // namespace

TEST(ApplicationsDirectory, ComesFromTheUserDatabaseNotTheEnvironment) {
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    const std::string home = entry->pw_dir;
    const char* saved = std::getenv("HOME");
    const std::string savedHome = saved ? saved : "";
    ::setenv("HOME", "/nonexistent/elsewhere", 1);
    quorvane::SystemContext fromDatabase;
    const auto found = installer::applicationsDirectory(testManifest(), fromDatabase);
    saved ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
    EXPECT_EQ(found, fs::path(home) / "Applications");

    // The same whatever the manifest says.
    EXPECT_EQ(installer::applicationsDirectory(testManifest("1", "1", std::nullopt), fromDatabase),
              found);
}

TEST_F(ReusableApp, JudgesTheInstalledCopyByBuildSignatureAndInfoPlist) {
    const std::string big = plistWithBody(
        "<dict><key>CFBundleVersion</key><string>2.9.412</string>"
        "<key>CFBundleShortVersionString</key><string>2.9</string><key>Pad</key><string>" +
        std::string(quorvane::InfoPlist::maxBytes, 'x') + "</string></dict>");
    struct Case {
        const char* name;
        AppFixture app;
        bool reusable;
    };
    const Case cases[] = {
        {"the exact build", {}, true},
        {"the exact build, binary Info.plist",
         AppFixture().withInfoPlist(binaryInfoPlist("2.9", "2.9.412")), true},
        {"same build, other hash", AppFixture().withHash(hashB), false},
        {"other version, same build and hash", AppFixture().withVersion("2.8"), false},
        {"newer build", AppFixture().withVersion("3.0").withBuild("2.10.0").withHash(hashB), true},
        {"newer build, binary Info.plist",
         AppFixture().withHash(hashB).withInfoPlist(binaryInfoPlist("3", "2.9.413")), true},
        {"newer by value, older as text", AppFixture().withBuild("2.9.1000").withHash(hashB), true},
        {"older build", AppFixture().withBuild("2.9.411").withHash(hashB), false},
        {"one-number build", AppFixture().withBuild("99999").withHash(hashB), false},
        {"five groups", AppFixture().withBuild("2.9.412.1.1").withHash(hashB), false},
        {"non-ASCII digits", AppFixture().withBuild("\xEF\xBC\x93.0").withHash(hashB), false},
        {"trailing newline", AppFixture().withBuild("3.0\n").withHash(hashB), false},
        {"newer build, other team",
         AppFixture().withBuild("3.0").withHash(hashB).withTeam("ZZZZZZZZZZ"), false},
        {"newer build, other identifier",
         AppFixture().withBuild("3.0").withHash(hashB).withIdentifier("com.example.other"), false},
        {"newer build, unsigned", AppFixture().withBuild("3.0").unsigned_(), false},
        {"build is a number",
         AppFixture().withInfoPlist(
             plistWithBody("<dict><key>CFBundleVersion</key><integer>3</integer>"
                           "<key>CFBundleShortVersionString</key><string>2.9</string>"
                           "</dict>")),
         false},
        {"version is missing",
         AppFixture().withInfoPlist(
             plistWithBody("<dict><key>CFBundleVersion</key><string>2.9.412</string>"
                           "</dict>")),
         false},
        {"top level is an array",
         AppFixture().withInfoPlist(plistWithBody("<array><string>2.9.412</string></array>")),
         false},
        {"garbage", AppFixture().withInfoPlist(std::string("\x00\xff<plist><dict><key>", 20)),
         false},
        {"truncated binary",
         AppFixture().withInfoPlist(binaryInfoPlist("2.9", "2.9.412").substr(0, 20)), false},
        {"empty", AppFixture().withInfoPlist(""), false},
        {"huge", AppFixture().withInfoPlist(big), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(user);
        makeApp(userApp(), c.app);
        const auto found = installer::reusableApp(testManifest(), context);
        EXPECT_EQ(found.has_value(), c.reusable);
        if (found) {
            EXPECT_EQ(*found, userApp());
        }
    }
}

TEST_F(ReusableApp, ANewerBuildIsNewerByNumericOrder) {
    struct Case {
        const char* installed;
        const char* manifest;
        bool reusable;
    };
    for (const Case& c : {Case{"2.10", "2.9", true}, Case{"2.9", "2.10", false},
                          Case{"1.2.10", "1.2.9", true}, Case{"2.9", "2.9", false}}) {
        SCOPED_TRACE(std::string(c.installed) + " over " + c.manifest);
        fs::remove_all(user);
        makeApp(userApp(), AppFixture().withBuild(c.installed).withHash(hashB));
        EXPECT_EQ(installer::reusableApp(testManifest("2.9", c.manifest), context).has_value(),
                  c.reusable);
    }
}

TEST_F(ReusableApp, AnInfoPlistThatIsNotARegularFileIsNotRead) {
    makeApp(userApp());
    fs::remove(userApp() / "Contents" / "Info.plist");
    ASSERT_EQ(::mkfifo((userApp() / "Contents" / "Info.plist").c_str(), 0600), 0);
    EXPECT_FALSE(installer::reusableApp(testManifest(), context)); // and does not hang

    fs::remove(userApp() / "Contents" / "Info.plist");
    EXPECT_FALSE(installer::reusableApp(testManifest(), context));
}

TEST_F(ReusableApp, SearchesTheUserFolderFirstAndStopsAtAnyItemThere) {
    enum class User {
        nothing,
        noFolder,
        exact,
        older,
        unsigned_,
        danglingLink,
        linkToSystem,
        file
    };
    struct Case {
        const char* name;
        User user;
        bool systemCopy;
        std::optional<fs::path> expected;
    };
    const Case cases[] = {
        {"both hold the build", User::exact, true, userApp()},
        {"only the system folder", User::nothing, true, systemApp()},
        {"no user folder at all", User::noFolder, true, systemApp()},
        {"neither", User::nothing, false, std::nullopt},
        {"older user copy shadows", User::older, true, std::nullopt},
        {"untrusted user copy shadows", User::unsigned_, true, std::nullopt},
        {"dangling link shadows", User::danglingLink, true, std::nullopt},
        {"link to the good system copy", User::linkToSystem, true, std::nullopt},
        {"plain file shadows", User::file, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(tmp / "home");
        fs::remove_all(tmp / "system");
        fs::create_directories(system);
        if (c.user != User::noFolder)
            fs::create_directories(user);
        if (c.systemCopy)
            makeApp(systemApp());
        switch (c.user) {
        case User::exact:
            makeApp(userApp());
            break;
        case User::older:
            makeApp(userApp(), AppFixture().withBuild("2.9.1").withHash(hashB));
            break;
        case User::unsigned_:
            makeApp(userApp(), AppFixture().unsigned_());
            break;
        case User::danglingLink:
            fs::create_directory_symlink(tmp / "gone", userApp());
            break;
        case User::linkToSystem:
            fs::create_directory_symlink(systemApp(), userApp());
            break;
        case User::file:
            writeFile(userApp(), "");
            break;
        case User::nothing:
        case User::noFolder:
            break;
        }
        tools.resetRecords();
        EXPECT_EQ(installer::reusableApp(testManifest(), context), c.expected);
        if (c.user == User::exact) { // found in the user folder: the system one is never checked
            EXPECT_EQ(tools.codesignArguments().back(), userApp().string());
        }
    }
}

TEST(BuildPattern, AcceptsTwoToFourGroupsOfAsciiDigits) {
    for (const char* good : {"1.2", "2.10", "1.2.3", "1.2.3.4", "01.002", "0.0"})
        EXPECT_TRUE(installer::detail::isWellFormedBuild(good)) << good;
    for (const char* bad : {"", "7", "1.2.3.4.5", "1..2", ".1.2", "1.2.", "1.2a", " 1.2", "1.2\n",
                            "+1.2", "1,2", "-1.2", "\xEF\xBC\x91.2", "\xD9\xA1.2"})
        EXPECT_FALSE(installer::detail::isWellFormedBuild(bad)) << bad;
}
