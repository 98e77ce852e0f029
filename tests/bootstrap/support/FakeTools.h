#pragma once

// Stand-ins for the package and code-signing tools, written as small scripts into a test's
// temporary folder. The installer starts them like the real ones; they record their arguments,
// and what they do is decided by the files the test lays out.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/BootstrapManifest.h"
#include "manifest/SystemContext.h"

namespace quorvane::test {

inline const std::string hashA(40, 'a');
inline const std::string hashB(40, 'b');

// Writes an executable "#!/bin/sh" script.
void writeScript(const std::filesystem::path& path, std::string_view body);

// The NUL-separated arguments a fake tool recorded.
std::vector<std::string> readArguments(const std::filesystem::path& file);

// A product app bundle: Contents/Info.plist and a fake signature that the fake signing tool
// accepts when the requirement names the same identifier, team and (if pinned) hash.
struct AppFixture {
    std::string version = "2.9";
    std::string build = "2.9.412";
    std::string cdhash = hashA;
    std::string identifier;               // empty: the product's identifier
    std::string team;                     // empty: the pinned team
    bool signedByTeam = true;             // false: no signature at all
    std::optional<std::string> infoPlist; // raw contents in place of the generated xml

    AppFixture& withVersion(std::string v) { return version = std::move(v), *this; }
    AppFixture& withBuild(std::string b) { return build = std::move(b), *this; }
    AppFixture& withHash(std::string h) { return cdhash = std::move(h), *this; }
    AppFixture& withIdentifier(std::string i) { return identifier = std::move(i), *this; }
    AppFixture& withTeam(std::string t) { return team = std::move(t), *this; }
    AppFixture& unsigned_() { return signedByTeam = false, *this; }
    AppFixture& withInfoPlist(std::string p) { return infoPlist = std::move(p), *this; }
};
void makeApp(const std::filesystem::path& bundle, const AppFixture& app = {});
std::string xmlInfoPlist(std::string_view version, std::string_view build);

// What the fake package tool does when it expands a package.
enum class Expansion {
    ok,    // lays out Payload/Applications/<bundle> from the package's source app
    fail,  // exits 1 without touching anything
    half,  // leaves a partial app behind and exits 1
    full,  // leaves a partial app behind and reports running out of space
    crash, // expands, then dies by SIGSEGV
    noApp, // creates the expansion folder only and exits 0
    race,  // expands, then creates `extra` (the destination) before exiting 0
    wait,  // creates `extra`.started, waits for `extra`.release, then expands
};
// A package file that tells the fake package tool what to expand and how.
void writePackage(const std::filesystem::path& package, const std::filesystem::path& sourceApp,
                  Expansion mode, const std::filesystem::path& extra = {});

class FakeTools {
public:
    explicit FakeTools(const std::filesystem::path& folder);

    // Tools from this object with the given Applications folders.
    SystemContext context(const std::filesystem::path& user,
                          const std::filesystem::path& system = {}) const;

    bool pkgutilRan() const;
    std::vector<std::string> pkgutilArguments() const;
    // The mode of the expansion folder's parent, as the package tool saw it.
    std::string workFolderMode() const;
    // What the package tool's descriptors pointed at.
    std::string pkgutilDescriptors() const;
    std::vector<std::string> codesignArguments() const;
    int codesignCalls() const;
    void resetRecords() const;

    std::filesystem::path folder;
    std::filesystem::path pkgutil;
    std::filesystem::path codesign;
};

BootstrapManifest testManifest(std::string version = "2.9", std::string build = "2.9.412",
                               std::optional<std::string> cdhash = hashA);

} // namespace quorvane::test
