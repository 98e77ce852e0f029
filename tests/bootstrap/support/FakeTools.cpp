#include "FakeTools.h"

#include "TempDir.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <quorvane/BuildConfig.h>

namespace quorvane::test {
namespace fs = std::filesystem;

namespace {

// Accepts exactly the five arguments of a signature check, and a requirement that names the
// identifier, team and (when pinned) hash recorded in the bundle's fake signature.
constexpr std::string_view codesignScript = R"SH(here=$(dirname "$0")
printf '%s\0' "$@" > "$here/codesign.args.$$" && mv -f "$here/codesign.args.$$" "$here/codesign.args"
echo call >> "$here/codesign.calls"
[ $# -eq 5 ] && [ "$1" = --verify ] && [ "$2" = --deep ] && [ "$3" = --strict ] || exit 2
case "$4" in -R=*) requirement=${4#-R=} ;; *) exit 2 ;; esac
signature="$5/Contents/_CodeSignature/fake"
[ -f "$signature" ] || exit 1
{ read -r identifier; read -r team; read -r cdhash; } < "$signature"
base="identifier \"$identifier\" and anchor apple generic and certificate leaf[subject.OU] = \"$team\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists"
[ "$requirement" = "$base" ] && exit 0
[ "$requirement" = "$base and cdhash H\"$cdhash\"" ] && exit 0
exit 3
)SH";

// Expands a package file written by writePackage() the way its mode says.
std::string pkgutilScript() {
    return "bundle='" + std::string(config::bundleName) + "'\n" + R"SH(here=$(dirname "$0")
ulimit -c 0
printf '%s\0' "$@" > "$here/pkgutil.args"
for fd in /proc/$$/fd/*; do readlink "$fd"; done > "$here/pkgutil.fds"
[ $# -eq 3 ] && [ "$1" = --expand-full ] || exit 2
out=$3
stat -c %a "$(dirname "$out")" > "$here/pkgutil.mode"
{ read -r source; read -r mode; read -r extra; } < "$2" || exit 4
app="$out/Payload/Applications/$bundle"
expand() {
  mkdir "$out" && mkdir -p "$out/Payload/Applications" && cp -R "$source" "$app" || exit 5
}
case "$mode" in
  ok) expand ;;
  fail) exit 1 ;;
  half) mkdir -p "$app/Contents" && echo partial > "$app/Contents/Info.plist"; exit 1 ;;
  full) mkdir -p "$app/Contents" && echo partial > "$app/Contents/Info.plist"; exit 28 ;;
  crash) expand; kill -SEGV $$ ;;
  noApp) mkdir "$out" ;;
  race) expand; mkdir "$extra" && echo intruder > "$extra/intruder" ;;
  wait) : > "$extra.started"; while [ ! -e "$extra.release" ]; do sleep 0.01; done; expand ;;
  *) exit 6 ;;
esac
exit 0
)SH";
}

std::string_view modeName(Expansion mode) {
    switch (mode) {
    case Expansion::ok:
        return "ok";
    case Expansion::fail:
        return "fail";
    case Expansion::half:
        return "half";
    case Expansion::full:
        return "full";
    case Expansion::crash:
        return "crash";
    case Expansion::noApp:
        return "noApp";
    case Expansion::race:
        return "race";
    case Expansion::wait:
        return "wait";
    }
    return "?";
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

void writeScript(const fs::path& path, std::string_view body) {
    writeFile(path, "#!/bin/sh\n" + std::string(body));
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

std::vector<std::string> readArguments(const fs::path& file) {
    const std::string text = readFile(file);
    std::vector<std::string> args;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        args.push_back(text.substr(start, end - start));
    return args;
}

std::string xmlInfoPlist(std::string_view version, std::string_view build) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>)" +
           std::string(config::productBundleIdentifier) + R"(</string>
  <key>CFBundleShortVersionString</key><string>)" +
           std::string(version) + R"(</string>
  <key>CFBundleVersion</key><string>)" +
           std::string(build) + R"(</string>
</dict>
</plist>
)";
}

void makeApp(const fs::path& bundle, const AppFixture& app) {
    fs::create_directories(bundle / "Contents" / "MacOS");
    writeFile(bundle / "Contents" / "MacOS" / "Quorvane Pro", "binary " + app.build);
    writeFile(bundle / "Contents" / "Info.plist",
              app.infoPlist ? *app.infoPlist : xmlInfoPlist(app.version, app.build));
    if (!app.signedByTeam)
        return;
    fs::create_directories(bundle / "Contents" / "_CodeSignature");
    const std::string identifier =
        app.identifier.empty() ? std::string(config::productBundleIdentifier) : app.identifier;
    const std::string team =
        app.team.empty() ? std::string(config::pinnedTeamIdentifier) : app.team;
    writeFile(bundle / "Contents" / "_CodeSignature" / "fake",
              identifier + "\n" + team + "\n" + lower(app.cdhash) + "\n");
}

void writePackage(const fs::path& package, const fs::path& sourceApp, Expansion mode,
                  const fs::path& extra) {
    writeFile(package, sourceApp.string() + "\n" + std::string(modeName(mode)) + "\n" +
                           extra.string() + "\n");
}

FakeTools::FakeTools(const fs::path& where)
    : folder(where), pkgutil(where / "pkgutil"), codesign(where / "codesign") {
    fs::create_directories(folder);
    writeScript(pkgutil, pkgutilScript());
    writeScript(codesign, codesignScript);
}

SystemContext FakeTools::context(const fs::path& user, const fs::path& system) const {
    SystemContext context;
    context.pkgutil = pkgutil.string();
    context.codesign = codesign.string();
    context.userApplications = user;
    context.systemApplications = system;
    return context;
}

bool FakeTools::pkgutilRan() const {
    return fs::exists(folder / "pkgutil.args");
}
std::vector<std::string> FakeTools::pkgutilArguments() const {
    return readArguments(folder / "pkgutil.args");
}
std::string FakeTools::workFolderMode() const {
    return readFile(folder / "pkgutil.mode");
}
std::string FakeTools::pkgutilDescriptors() const {
    return readFile(folder / "pkgutil.fds");
}
std::vector<std::string> FakeTools::codesignArguments() const {
    return readArguments(folder / "codesign.args");
}
int FakeTools::codesignCalls() const {
    if (!fs::exists(folder / "codesign.calls"))
        return 0;
    const std::string calls = readFile(folder / "codesign.calls");
    return static_cast<int>(std::count(calls.begin(), calls.end(), '\n'));
}
void FakeTools::resetRecords() const {
    for (const char* name :
         {"pkgutil.args", "pkgutil.fds", "pkgutil.mode", "codesign.args", "codesign.calls"})
        fs::remove(folder / name);
}

BootstrapManifest testManifest(std::string version, std::string build,
                               std::optional<std::string> cdhash) {
    BootstrapManifest m;
    m.version = std::move(version);
    m.build = std::move(build);
    m.payloadURL = "https://downloads.example.com/quorvane/pro.pkg";
    m.payloadBytes = 1000;
    m.installedAppCDHash = std::move(cdhash);
    m.payloadSHA256 = std::string(64, 'c');
    return m;
}

} // namespace quorvane::test
