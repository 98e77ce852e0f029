#include "desktop/DesktopEntry.h"

#include "AppBundle.h"
#include "Process.h"
#include "TempDir.h"

#include <gtest/gtest.h>

using namespace quorvane;
using quorvane::test::readFile;
using quorvane::test::TempDir;
using quorvane::test::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr const char* identifier = "com.quorvane.pro";

fs::path makeBundle(const fs::path& bundle) {
    quorvane::test::makeAppBundle(
        bundle, {.identifier = identifier, .version = "2.4.1", .build = "2410.1"}, "/bin/true");
    return bundle;
}

std::string line(const std::string& text, const std::string& key) {
    const auto start = text.find("\n" + key + "=");
    if (start == std::string::npos)
        return {};
    const auto end = text.find('\n', start + 1);
    return text.substr(start + 1, end - start - 1);
}

int validate(const fs::path& entry, std::string* output) {
    return quorvane::test::runCommand({"desktop-file-validate", entry.string()}, output);
}

} // namespace

// Paths with spaces and the characters the entry format treats specially end up quoted and
// escaped so that launchers run exactly that file, and the desktop's validator accepts them.
TEST(DesktopEntry, ExecQuotesAndEscapesAnyPathAndTheValidatorAcceptsIt) {
    const struct {
        const char* folder;
        const char* exec;
    } cases[] = {
        {"plain", R"("ROOT/plain/Quorvane Pro.app/Contents/MacOS/Quorvane Pro")"},
        {"100% sure", R"("ROOT/100%% sure/Quorvane Pro.app/Contents/MacOS/Quorvane Pro")"},
        {"a$b`c\"d\\e",
         R"("ROOT/a\\$b\\`c\\"d\\\\e/Quorvane Pro.app/Contents/MacOS/Quorvane Pro")"},
        {"ünïcode 'quoted'",
         R"("ROOT/ünïcode 'quoted'/Quorvane Pro.app/Contents/MacOS/Quorvane Pro")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        TempDir root;
        const fs::path bundle = makeBundle(root / c.folder / "Quorvane Pro.app");
        const TempDir data;
        const auto done = desktop::registerApp(bundle, identifier, data.path(), "/nonexistent");
        ASSERT_EQ(done.entry, desktop::EntryOutcome::written);
        const fs::path entry = data / "applications/com.quorvane.pro.desktop";
        const std::string text = readFile(entry);
        std::string exec = c.exec;
        exec.replace(exec.find("ROOT"), 4, root.path().string());
        EXPECT_EQ(line(text, "Exec"), "Exec=" + exec);
        std::string tryExec = (bundle / "Contents/MacOS/Quorvane Pro").string();
        for (std::size_t at = 0; (at = tryExec.find('\\', at)) != std::string::npos; at += 2)
            tryExec.insert(at, 1, '\\');
        EXPECT_EQ(line(text, "TryExec"), "TryExec=" + tryExec);
        EXPECT_EQ(line(text, "Name"), "Name=Quorvane Pro");
        EXPECT_EQ(line(text, "Icon"), "Icon=com.quorvane.pro");
        EXPECT_EQ(line(text, "StartupWMClass"), "StartupWMClass=com.quorvane.pro");
        EXPECT_EQ(line(text, "X-Quorvane-Installed-Build"), "X-Quorvane-Installed-Build=2410.1");
        EXPECT_EQ(line(text, "Categories"), "") << "the bundle declares none";
        EXPECT_EQ(fs::status(entry).permissions(), fs::perms(0644));
        std::string output;
        EXPECT_EQ(validate(entry, &output), 0) << output;
        EXPECT_EQ(output, "");
    }
}

TEST(DesktopEntry, OnlyItsOwnEntryIsReplacedAndNoLinkIsFollowed) {
    TempDir root;
    const fs::path bundle = makeBundle(root / "Quorvane Pro.app");
    const TempDir data;
    const fs::path applications = data / "applications";
    const fs::path entry = applications / "com.quorvane.pro.desktop";
    fs::create_directories(applications);

    // Someone else's entry of that name stays as it is.
    writeFile(entry, "[Desktop Entry]\nType=Application\nName=Theirs\nExec=theirs\n");
    EXPECT_EQ(desktop::registerApp(bundle, identifier, data.path(), "/nonexistent").entry,
              desktop::EntryOutcome::foreignKept);
    EXPECT_EQ(readFile(entry), "[Desktop Entry]\nType=Application\nName=Theirs\nExec=theirs\n");

    // A planted link is neither followed nor replaced.
    fs::remove(entry);
    writeFile(root / "elsewhere", "untouched");
    fs::create_symlink(root / "elsewhere", entry);
    EXPECT_EQ(desktop::registerApp(bundle, identifier, data.path(), "/nonexistent").entry,
              desktop::EntryOutcome::foreignKept);
    EXPECT_TRUE(fs::is_symlink(entry));
    EXPECT_EQ(readFile(root / "elsewhere"), "untouched");

    // Our own entry is rewritten with what is installed now; nothing is left beside it.
    fs::remove(entry);
    ASSERT_EQ(desktop::registerApp(bundle, identifier, data.path(), "/nonexistent").entry,
              desktop::EntryOutcome::written);
    const fs::path newer = makeBundle(root / "newer/Quorvane Pro.app");
    writeFile(newer / "Contents/Info.plist",
              readFile(newer / "Contents/Info.plist")
                  .replace(readFile(newer / "Contents/Info.plist").find("2410.1"), 6, "2500.1"));
    EXPECT_EQ(desktop::registerApp(newer, identifier, data.path(), "/nonexistent").entry,
              desktop::EntryOutcome::written);
    EXPECT_NE(readFile(entry).find("X-Quorvane-Installed-Build=2500.1\n"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(applications), fs::directory_iterator()), 1);
}

// The icon the bundle names goes into the icon theme under the bundle identifier; a name that
// reaches out of Resources, or a file that is no icon, installs nothing and costs no entry.
TEST(DesktopEntry, InstallsTheBundlesIconAndRefusesNamesOutsideResources) {
    const struct {
        const char* iconFile;
        std::string content;
        const char* installedAs; // relative to the data folder; empty: none
    } cases[] = {
        {"Quorvane Pro.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>\n",
         "icons/hicolor/scalable/apps/com.quorvane.pro.svg"},
        {"icon", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\1\0\0\0\1\0", 24),
         "icons/hicolor/256x256/apps/com.quorvane.pro.png"},
        {"odd.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\1\0\0\0\0\x11", 24), ""},
        {"../Info.plist", "", ""},
        {"notes.txt", "plain text", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.iconFile);
        TempDir root;
        const fs::path bundle = root / "Quorvane Pro.app";
        quorvane::test::makeAppBundle(
            bundle,
            {.identifier = identifier, .version = "1.0", .build = "1.1", .iconFile = "x.svg"},
            "/bin/true");
        fs::remove(bundle / "Contents/Resources/x.svg");
        writeFile(
            bundle / "Contents/Info.plist",
            readFile(bundle / "Contents/Info.plist")
                .replace(readFile(bundle / "Contents/Info.plist").find("x.svg"), 5, c.iconFile));
        if (!c.content.empty()) {
            const fs::path file =
                bundle / "Contents/Resources" /
                (std::string_view(c.iconFile) == "icon" ? "icon.png" : c.iconFile);
            writeFile(file, c.content);
        }
        const TempDir data;
        const auto done = desktop::registerApp(bundle, identifier, data.path(), "/nonexistent");
        EXPECT_EQ(done.entry, desktop::EntryOutcome::written);
        if (*c.installedAs) {
            ASSERT_TRUE(done.icon);
            EXPECT_EQ(*done.icon, data / c.installedAs);
            EXPECT_EQ(readFile(data / c.installedAs), c.content);
            EXPECT_EQ(fs::status(data / c.installedAs).permissions(), fs::perms(0644));
        } else {
            EXPECT_FALSE(done.icon);
            EXPECT_FALSE(fs::exists(data / "icons/hicolor/scalable/apps"));
        }
    }
}

// Registration never stands in the installation's way: a folder it cannot write, or a bundle
// without what an entry needs, is skipped without an error.
TEST(DesktopEntry, WhatCannotBeWrittenIsSkippedQuietly) {
    TempDir root;
    const fs::path bundle = makeBundle(root / "Quorvane Pro.app");
    writeFile(root / "file", "not a folder");
    for (const fs::path& data : {root / "file", fs::path("/proc/self/nope"), fs::path()}) {
        const auto done = desktop::registerApp(bundle, identifier, data, "/nonexistent");
        EXPECT_EQ(done.entry, desktop::EntryOutcome::skipped) << data;
    }
    const TempDir data;
    fs::remove(bundle / "Contents/Info.plist");
    EXPECT_EQ(desktop::registerApp(bundle, identifier, data.path(), "/nonexistent").entry,
              desktop::EntryOutcome::skipped);
}

// The desktop's own cache tool runs on the applications folder after a write.
TEST(DesktopEntry, RefreshesTheDesktopsCacheWhenTheToolExists) {
    TempDir root;
    const fs::path bundle = makeBundle(root / "Quorvane Pro.app");
    const TempDir data;
    desktop::registerApp(bundle, identifier, data.path());
    EXPECT_TRUE(fs::exists(data / "applications/mimeinfo.cache"));
}
