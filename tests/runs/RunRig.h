#pragma once

// A whole installation run in one test process: the real model and bootstrap pieces, an HTTPS
// server on loopback, fake platform tools whose verdicts the test controls, and a temporary
// home, Applications folders and temporary directory.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AppBundle.h"
#include "BootstrapModel.h"
#include "HttpsTestServer.h"
#include "ProductKit.h"
#include "TempDir.h"

namespace quorvane::test {

struct RunRig {
    struct Options {
        bool prefix = true; // carry the package's first bytes
        std::size_t packageBytes = 3 << 20;
        std::size_t prefixBytes = 1 << 20;
        // A real signed package and the platform tools of this build, instead of random bytes
        // and fake tools.
        bool realTools = false;
        ProductKitOptions kit = {};
    };

    explicit RunRig(Options options);
    RunRig() : RunRig(Options{}) {}
    ~RunRig();

    TempDir root;
    std::filesystem::path applications, systemApplications, temporary, resources, tools;
    std::string package;
    std::optional<ProductKit> kit;
    BootstrapManifest manifest;
    HttpsTestServer server;
    std::shared_ptr<BootstrapModel> model;
    std::vector<std::string> phases; // one entry per announced phase: "checking", "failed: …"
    int terminated = 0;

    // The installed copy's place in the user's Applications folder.
    std::filesystem::path installedApp() const;
    // A bundle of the product laid out at `bundle` (version and build default to the manifest's).
    void makeProductBundle(const std::filesystem::path& bundle, std::string version = {},
                           std::string build = {}) const;
    // Fake-tool switches: each makes one tool call fail while the file exists.
    void setFault(const std::string& name, bool on) const;

    // A new model over this rig's folders, its environment first changed by `adjust` when set.
    void makeModel();
    std::function<void(BootstrapModel::Environment&)> adjust;
    // Publishes `package` as the payload: new size and digest in the manifest, new prefix and
    // tail, the app's pinned cdhash kept; then a new model.
    void republish(const std::string& package);
    // Real tools only: changes one byte of the signed app, rebuilds and signs the vendor's
    // package around it and publishes that; false when the package tool failed.
    bool republishWithTamperedApp();
    // Writes the manifest as it stands to the resources and makes a new model.
    void rewriteManifest();
    // start(), then turn the event loop until the run has ended.
    void startAndSettle();
    std::vector<std::filesystem::path> stagingFolders() const;
};

} // namespace quorvane::test
