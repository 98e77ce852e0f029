#include "CodesignBundles.h"

#include "Process.h"
#include "TempDir.h"

#include <quorvane/BuildConfig.h>

#include <stdexcept>

namespace quorvane::test {

namespace fs = std::filesystem;

fs::path toolPath(std::string_view name) {
    return fs::path(QUORVANE_TOOLS_DIR) / name;
}

fs::path authorityFile(std::string_view name) {
    return fs::path(QUORVANE_AUTHORITY_DIR) / name;
}

SigningFiles SigningFiles::application() {
    return {authorityFile("application.key"), authorityFile("application.pem"),
            authorityFile("chain.pem")};
}

void writeApp(const fs::path& app, std::string_view version, std::string_view build) {
    const fs::path contents = app / "Contents";
    fs::create_directories(contents / "MacOS");
    fs::create_directories(contents / "Resources");
    writeFile(contents / "Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<plist version=\"1.0\"><dict>\n"
              "<key>CFBundleIdentifier</key><string>" +
                  std::string(config::productBundleIdentifier) +
                  "</string>\n"
                  "<key>CFBundleExecutable</key><string>Quorvane Pro</string>\n"
                  "<key>CFBundleShortVersionString</key><string>" +
                  std::string(version) +
                  "</string>\n"
                  "<key>CFBundleVersion</key><string>" +
                  std::string(build) + "</string>\n</dict></plist>\n");
    const fs::path executable = contents / "MacOS" / "Quorvane Pro";
    writeFile(executable, "#!/bin/sh\nexit 0\n");
    fs::permissions(executable,
                    fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
    writeFile(contents / "Resources" / "data.txt", "resource data\n");

    const fs::path framework = contents / "Frameworks" / "Helper.framework";
    fs::create_directories(framework / "Versions" / "A" / "Resources");
    writeFile(framework / "Versions" / "A" / "Helper", "helper code\n");
    writeFile(framework / "Versions" / "A" / "Resources" / "Info.plist", "<plist/>\n");
    fs::create_directory_symlink("A", framework / "Versions" / "Current");
    fs::create_symlink("Versions/Current/Helper", framework / "Helper");
}

fs::path frameworkCode(const fs::path& app) {
    return app / "Contents" / "Frameworks" / "Helper.framework" / "Versions" / "A";
}

int signBundle(const fs::path& bundle, const SigningFiles& identity, std::string_view identifier,
               std::string* output) {
    return runCommand({toolPath("codesign").string(), "--sign", "--key", identity.key.string(),
                       "--cert", identity.cert.string(), "--chain", identity.chain.string(),
                       "--identifier", std::string(identifier), bundle.string()},
                      output);
}

void makeSignedApp(const fs::path& app, const SigningFiles& identity) {
    writeApp(app);
    std::string output;
    if (signBundle(frameworkCode(app), identity, "com.quorvane.helper", &output) != 0 ||
        signBundle(app, identity, config::productBundleIdentifier, &output) != 0)
        throw std::runtime_error("signing failed: " + output);
}

std::string bundleCdHash(const fs::path& bundle) {
    std::string output;
    if (runCommand({toolPath("codesign").string(), "--cdhash", bundle.string()}, &output) != 0)
        throw std::runtime_error("codesign --cdhash failed: " + output);
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

std::string installerRequirement(std::optional<std::string_view> cdhash) {
    std::string text = "identifier \"" + std::string(config::productBundleIdentifier) +
                       "\" and anchor apple generic and certificate leaf[subject.OU] = \"" +
                       std::string(config::pinnedTeamIdentifier) +
                       "\" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";
    if (cdhash)
        text += " and cdhash H\"" + std::string(*cdhash) + "\"";
    return text;
}

int verifyBundle(const fs::path& bundle, const std::optional<std::string>& requirement,
                 const std::vector<std::string>& flags, std::string* output) {
    std::vector<std::string> argv{toolPath("codesign").string(), "--verify"};
    argv.insert(argv.end(), flags.begin(), flags.end());
    if (requirement)
        argv.push_back("-R=" + *requirement);
    argv.push_back(bundle.string());
    return runCommand(argv, output);
}

} // namespace quorvane::test
