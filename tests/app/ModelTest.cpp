#include "BootstrapModel.h"
#include "manifest/BootstrapFailure.h"

#include "EventLoop.h"
#include "TempDir.h"

#include <functional>

#include <gtest/gtest.h>

using namespace quorvane;
using quorvane::test::TempDir;
using quorvane::test::writeFile;

namespace {

BootstrapManifest goodManifest() {
    BootstrapManifest m;
    m.version = "2.4.1";
    m.build = "2410.1";
    m.payloadURL = "https://127.0.0.1:1/tail";
    m.payloadBytes = 10'000'000;
    m.embeddedPackageBytes = 2'000'000;
    m.installedAppCDHash = std::string(40, 'a');
    m.payloadSHA256 = std::string(64, 'b');
    return m;
}

struct ModelFixture {
    TempDir root;
    int osMajor = 6;
    int terminated = 0;

    std::shared_ptr<BootstrapModel> make() {
        BootstrapModel::Environment env;
        env.resources = root.path();
        env.temporaryDirectory = root.path();
        env.platform = config::linuxPlatform;
        env.osMajorVersion = [this] { return osMajor; };
        env.terminate = [this] { ++terminated; };
        return BootstrapModel::create(env);
    }
};

// A function, not a namespace-scope copy: the failure constants live in another file.
std::string configurationMessage() {
    return BootstrapFailure::configuration.message();
}

} // namespace

TEST(InstallerPhase, EqualityByCaseAndMessage) {
    EXPECT_EQ(InstallerPhase::failed("a"), InstallerPhase::failed("a"));
    EXPECT_NE(InstallerPhase::failed("a"), InstallerPhase::failed("b"));
    EXPECT_NE(InstallerPhase::ready(), InstallerPhase::checking());
    EXPECT_EQ(InstallerPhase::verifying(), InstallerPhase::verifying());
    EXPECT_FALSE(InstallerPhase::ready().isWorking());
    EXPECT_FALSE(InstallerPhase::failed("x").isWorking());
    EXPECT_TRUE(InstallerPhase::checking().isWorking());
    EXPECT_TRUE(InstallerPhase::installing().isWorking());
}

TEST(BootstrapModel, ResourceFaultsEndInTheConfigurationFailure) {
    auto noHash = goodManifest();
    noHash.installedAppCDHash.reset();
    auto invalid = goodManifest();
    invalid.payloadURL = "http://example.com/x";
    const struct {
        const char* name;
        std::function<void(const std::filesystem::path&)> prepare;
    } cases[] = {
        {"missing", [](const auto&) {}},
        {"empty", [](const auto& f) { writeFile(f, ""); }},
        {"malformed", [](const auto& f) { writeFile(f, "{\"version\": "); }},
        {"a folder", [](const auto& f) { std::filesystem::create_directory(f); }},
        {"huge",
         [](const auto& f) { writeFile(f, std::string(3 << 20, ' ') + goodManifest().encode()); }},
        {"no cdhash", [&](const auto& f) { writeFile(f, noHash.encode()); }},
        {"fails validation", [&](const auto& f) { writeFile(f, invalid.encode()); }},
    };
    for (const auto& c : cases) {
        ModelFixture fixture;
        c.prepare(fixture.root / "Payload.json");
        auto model = fixture.make();
        EXPECT_EQ(model->phase(), InstallerPhase::failed(configurationMessage())) << c.name;
        EXPECT_FALSE(model->manifest()) << c.name;
        model->start();
        EXPECT_EQ(model->phase(), InstallerPhase::failed(configurationMessage())) << c.name;
        EXPECT_FALSE(model->operation().valid()) << c.name;
    }
}

// Without its own folder (no /proc/self/exe, say) the installer has no resources: a manifest in
// the working directory is never taken instead.
TEST(BootstrapModel, ResourcesOutsideTheExecutablesFolderAreNeverRead) {
    TempDir start;
    std::filesystem::create_directory(start / "Resources");
    writeFile(start / "Resources/Payload.json", goodManifest().encode());
    writeFile(start / "Payload.json", goodManifest().encode());
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(start.path());
    for (const char* resources : {"", "Resources", "."}) {
        TempDir temporary;
        BootstrapModel::Environment env;
        env.resources = resources;
        env.temporaryDirectory = temporary.path();
        env.platform = config::linuxPlatform;
        env.osMajorVersion = [] { return 6; };
        auto model = BootstrapModel::create(env);
        EXPECT_EQ(model->phase(), InstallerPhase::failed(configurationMessage())) << resources;
        EXPECT_FALSE(model->manifest()) << resources;
    }
    std::filesystem::current_path(previous);
}

TEST(BootstrapModel, GoodManifestIsReady) {
    ModelFixture fixture;
    writeFile(fixture.root / "Payload.json", goodManifest().encode());
    auto model = fixture.make();
    EXPECT_EQ(model->phase(), InstallerPhase::ready());
    ASSERT_TRUE(model->manifest());
    EXPECT_EQ(*model->manifest(), goodManifest());
    EXPECT_EQ(model->received(), 0);
}

TEST(BootstrapModel, Megabytes) {
    const std::pair<std::int64_t, std::int64_t> cases[] = {
        {0, 0},
        {499'999, 0},
        {500'000, 1},
        {1'499'999, 1},
        {1'500'000, 2},
        {-500'000, -1},
        {4'000'000'000, 4000},
        {INT64_MAX, 9'223'372'036'855},
        {INT64_MIN, -9'223'372'036'855},
    };
    for (const auto& [bytes, mb] : cases)
        EXPECT_EQ(BootstrapModel::megabytes(bytes), mb) << bytes;
}

TEST(BootstrapModel, Progress) {
    ModelFixture fixture;
    auto m = goodManifest();
    writeFile(fixture.root / "Payload.json", m.encode());
    auto model = fixture.make();
    model->setReceived(4'000'000);
    EXPECT_DOUBLE_EQ(model->progress(), 0.5);
    model->setReceived(9'000'000);
    EXPECT_DOUBLE_EQ(model->progress(), 1.0);

    m.embeddedPackageBytes.reset();
    writeFile(fixture.root / "Payload.json", m.encode());
    auto whole = fixture.make();
    whole->setReceived(4'000'000);
    EXPECT_DOUBLE_EQ(whole->progress(), 0.4);

    std::filesystem::remove(fixture.root / "Payload.json");
    auto none = fixture.make();
    none->setReceived(0);
    EXPECT_DOUBLE_EQ(none->progress(), 0.0);
}

TEST(BootstrapModel, AssignmentsAreAnnouncedEvenWhenEqual) {
    ModelFixture fixture;
    writeFile(fixture.root / "Payload.json", goodManifest().encode());
    auto model = fixture.make();
    int phases = 0, receipts = 0;
    QObject::connect(model.get(), &BootstrapModel::phaseChanged, [&] { ++phases; });
    QObject::connect(model.get(), &BootstrapModel::receivedChanged, [&] { ++receipts; });
    model->setPhase(InstallerPhase::ready());
    model->setPhase(InstallerPhase::ready());
    model->setReceived(0);
    EXPECT_EQ(phases, 2);
    EXPECT_EQ(receipts, 1);
}

TEST(BootstrapModel, UnsupportedSystemLeavesReceivedAndOperationAlone) {
    ModelFixture fixture;
    fixture.osMajor = 4;
    writeFile(fixture.root / "Payload.json", goodManifest().encode());
    auto model = fixture.make();
    model->setReceived(123);
    model->start();
    EXPECT_EQ(model->phase(), InstallerPhase::failed("Quorvane Pro requires Linux 5 or later."));
    EXPECT_EQ(model->received(), 123);
    EXPECT_FALSE(model->operation().valid());
}

TEST(BootstrapModel, MacDescriptorGivesTheMacSentenceOnVersion25) {
    ModelFixture fixture;
    fixture.osMajor = 25;
    writeFile(fixture.root / "Payload.json", goodManifest().encode());
    BootstrapModel::Environment env;
    env.resources = fixture.root.path();
    env.platform = config::macPlatform;
    env.osMajorVersion = [] { return 25; };
    auto model = BootstrapModel::create(env);
    model->start();
    EXPECT_EQ(model->phase(),
              InstallerPhase::failed("Quorvane Pro requires Apple silicon and macOS 26 or later."));
}

TEST(BootstrapModel, StartResetsReceivedThenSetsCheckingAndIgnoresASecondStart) {
    ModelFixture fixture;
    writeFile(fixture.root / "Payload.json", goodManifest().encode());
    auto model = fixture.make();
    model->setPhase(InstallerPhase::failed("earlier"));
    model->setReceived(77);
    std::vector<std::string> events;
    QObject::connect(model.get(), &BootstrapModel::receivedChanged,
                     [&] { events.push_back("received=" + std::to_string(model->received())); });
    QObject::connect(model.get(), &BootstrapModel::phaseChanged, [&] {
        events.push_back(model->phase() == InstallerPhase::checking() ? "checking" : "other");
    });
    model->start();
    const auto first = model->operation();
    model->start();
    EXPECT_EQ(events, (std::vector<std::string>{"received=0", "checking"}));
    // The second start changed nothing: still the first run's task.
    model->operation().cancel();
    EXPECT_TRUE(first.isCancelled());
    // Destroying the model before the run's body begins: the run does nothing.
    model.reset();
    EXPECT_TRUE(quorvane::test::spinUntil([&] { return first.isDone(); }));
    EXPECT_EQ(fixture.terminated, 0);
}

TEST(BootstrapModel, ProgressReportsApplyOnlyWhileDownloading) {
    ModelFixture fixture;
    writeFile(fixture.root / "Payload.json", goodManifest().encode());
    auto model = fixture.make();
    model->setPhase(InstallerPhase::downloading());
    BootstrapModel::postProgress(model, 1000);
    ASSERT_TRUE(quorvane::test::spinUntil([&] { return model->received() == 1000; }));
    model->setPhase(InstallerPhase::verifying());
    BootstrapModel::postProgress(model, 2000);
    std::weak_ptr<BootstrapModel> gone;
    {
        auto other = fixture.make();
        gone = other;
    }
    BootstrapModel::postProgress(gone, 3000); // a report for a model that no longer exists
    quorvane::test::spinUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(model->received(), 1000);
}

TEST(BootstrapModel, CleanStagingIsIdempotent) {
    ModelFixture fixture;
    writeFile(fixture.root / "Payload.json", goodManifest().encode());
    auto model = fixture.make();
    model->cleanStaging();
    model->cleanStaging();
    EXPECT_FALSE(model->stagingDirectory());
    EXPECT_FALSE(model->verifiedPackage());
}
