// The real installer heard through a real screen reader: Debian's Orca, speaking through
// speech-dispatcher and espeak-ng, driven from the keyboard alone. What it said is judged after
// a quiet moment, not by tight timing, and each run's record (what the user did, what Orca said
// then) goes to BUILD/e2e-results/orca-*.jsonl for the README.

#include <algorithm>
#include <fstream>

#include "E2eTest.h"
#include "OrcaSession.h"
#include "PhaseLines.h"
#include "Process.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

using namespace phaseLine;

class Orca : public E2e {
protected:
    void SetUp() override {
        E2e::SetUp();
        if (IsSkipped())
            return;
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "what the screen reader says is judged in the normal build only";
#endif
        if (const auto why = orcaUnavailable(); !why.empty())
            GTEST_SKIP() << why;
    }
};

double wallClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool isEvent(const json& r, const std::string& type) {
    return r["kind"] == "event" && r["type"] == type;
}

// What the user did, from when.
struct Step {
    std::string what;
    double from = 0;
};

// The utterances of each step, written for the README as one record a line, and returned.
std::vector<std::vector<std::string>> recordSteps(const std::string& name,
                                                  const std::vector<Step>& steps,
                                                  const std::vector<Utterance>& said) {
    std::vector<std::vector<std::string>> bySteps(steps.size());
    for (const auto& u : said) {
        if (u.time < steps.front().from)
            continue; // Orca's greeting
        std::size_t step = 0;
        while (step + 1 < steps.size() && u.time >= steps[step + 1].from)
            ++step;
        bySteps[step].push_back(u.text);
    }
    const fs::path folder = fs::path(QUORVANE_BINARY_DIR) / "e2e-results";
    fs::create_directories(folder);
    std::ofstream out(folder / ("orca-" + name + ".jsonl"));
    for (std::size_t i = 0; i < steps.size(); ++i)
        out << json{{"run", name}, {"step", steps[i].what}, {"said", bySteps[i]}}.dump() << "\n";
    return bySteps;
}

std::size_t countContaining(const std::vector<Utterance>& said, const std::string& text) {
    return std::count_if(said.begin(), said.end(), [&](const Utterance& u) {
        return u.text.find(text) != std::string::npos;
    });
}

bool anyContains(const std::vector<std::string>& said, const std::string& text) {
    return std::any_of(said.begin(), said.end(),
                       [&](const std::string& s) { return s.find(text) != std::string::npos; });
}

// Nothing a blind user should not hear: role jargon for a mere container, a missing label, or
// the name a developer gave an object.
void expectNoJargon(const std::vector<Utterance>& said) {
    for (const auto& u : said)
        for (const char* word : {"panel", "unlabeled", "installer-status", "status bar"})
            EXPECT_EQ(u.text.find(word), std::string::npos) << "heard: " << u.text;
}

std::string transcript(const std::vector<Utterance>& said) {
    std::string text;
    for (const auto& u : said)
        text += "\n  " + u.text;
    return text;
}

} // namespace

// Refused at first, then Tab to Retry and Return; the download breaks off once and resumes,
// Where Am I while it runs, and the app is installed.
TEST_F(Orca, aFailureIsSpokenOnceEveryPhaseIsHeardAndRetryWorksFromTheKeyboard) {
    OrcaSession orca(sharedXServer().display());
    E2eWorld world({.fillerBytes = 8 << 20, .environment = orca.atspi().installerEnvironment()});
    const std::string failure = sentenceOf(BootstrapFailure::download);
    world.server.route("/tail", {.status = 404, .body = "not here"});
    ASSERT_TRUE(orca.atspi().startReader()) << "see " << orca.atspi().folder();
    const std::string unstarted = orca.start();
    ASSERT_TRUE(unstarted.empty()) << unstarted;

    // Installing lasts two seconds more, so that Orca, which may lag behind on a busy machine,
    // still finds the line in the window before the installer ends.
    const fs::path tools = world.root / "stand-in";
    fs::create_directories(tools);
    fs::copy_file(builtTool("codesign"), tools / "codesign-real");
    world.codesignStandIn =
        writeScript(tools / "codesign", "#!/bin/sh\nsleep 2\nexec '" +
                                            (tools / "codesign-real").string() + "' \"$@\"\n");

    std::vector<Step> steps = {{"The installer opens; the download is refused", wallClock()}};
    auto run = world.launch();
    ASSERT_TRUE(run->awaitWindow());
    const auto retryFocused = [](const json& r) {
        return isEvent(r, "object:state-changed:focused") && r["detail1"] == 1 &&
               r["source"]["name"] == "Retry";
    };
    ASSERT_TRUE(orca.atspi().awaitRecord(retryFocused, 120s));
    double failedAt = 0;
    for (const auto& r : orca.atspi().records())
        if (retryFocused(r) && failedAt == 0)
            failedAt = r["time"];
    orca.awaitQuiet(3s, 60s);
    for (const char* what : {"Tab", "Tab again"}) {
        steps.push_back({what, wallClock()});
        ASSERT_TRUE(orca.key("Tab"));
        orca.awaitQuiet(2s, 60s);
    }

    // Now the server sends the rest, slowly, and drops the connection half way; the resumption
    // that follows at once is dropped too before its first byte, so the installer waits and says
    // it is reconnecting.
    const auto tail = std::size_t(fs::file_size(world.kit.tail));
    world.server.route("/tail", {.bodyFile = world.kit.tail,
                                 .pieceBytes = tail / 100 + 1,
                                 .pause = 40ms,
                                 .ranges = true,
                                 .rangeETag = "\"v1\"",
                                 .dropsAt = {tail / 2, tail / 2}});
    steps.push_back({"Return on Retry: the download starts", wallClock()});
    ASSERT_TRUE(orca.key("Return"));
    ASSERT_TRUE(orca.atspi().awaitRecord(
        [](const json& r) {
            return isEvent(r, "object:property-change:accessible-value") &&
                   r["source"].value("value", 0.0) >= 10;
        },
        120s))
        << "Return did not start the download";
    steps.push_back({"Where Am I during the download", wallClock()});
    ASSERT_TRUE(orca.whereAmI());
    EXPECT_EQ(run->exitStatus(120s), 0) << "the download did not install and open the app";
    steps.back().what += "; the download ends, the app is installed and opens";
    orca.awaitQuiet(3s, 60s);
    const auto said = orca.stop();
    const auto bySteps = recordSteps("retry", steps, said);
    SCOPED_TRACE("Orca said:" + transcript(said));

    // The failure once, soon after it appeared; Retry found with Tab by its role, and pressed
    // with Return.
    EXPECT_EQ(countContaining(said, failure), 1u);
    for (const auto& u : said) {
        if (u.text.find(failure) != std::string::npos) {
            EXPECT_LT(u.time - failedAt, 10.0) << "spoken late";
        }
    }
    EXPECT_TRUE(anyContains(bySteps[2], "Retry push button")) << "Tab did not reach Retry";
    // Each phase heard as it began: the download, the dropped connection, verifying and
    // installing once each; Where Am I reads the percent.
    EXPECT_TRUE(anyContains(bySteps[3], downloading));
    for (const auto& phase : {reconnecting, verifying, installing})
        EXPECT_EQ(countContaining(said, phase), 1u) << phase;
    EXPECT_TRUE(anyContains(bySteps[4], "% downloaded")) << "Where Am I did not read the percent";
    expectNoJargon(said);
}

// A failure without Retry: its line takes focus and is spoken there, once.
TEST_F(Orca, aFailureWithoutRetryIsSpokenOnceWithoutJargon) {
    OrcaSession orca(sharedXServer().display());
    E2eWorld world({.environment = orca.atspi().installerEnvironment()});
    writeFile(world.installerFolder / "Resources" / "Payload.json", "{\"version\": ");
    const std::string failure = sentenceOf(BootstrapFailure::configuration);
    ASSERT_TRUE(orca.atspi().startReader()) << "see " << orca.atspi().folder();
    const std::string unstarted = orca.start();
    ASSERT_TRUE(unstarted.empty()) << unstarted;

    std::vector<Step> steps = {{"The installer opens; it is not configured", wallClock()}};
    auto run = world.launch();
    ASSERT_TRUE(run->awaitWindow());
    ASSERT_TRUE(orca.atspi().awaitRecord(
        [&](const json& r) {
            return isEvent(r, "object:state-changed:focused") && r["detail1"] == 1 &&
                   r["source"]["name"] == failure;
        },
        60s));
    const double failedAt = wallClock();
    orca.awaitQuiet(3s, 60s);
    const auto said = orca.stop();
    recordSteps("no-retry", steps, said);
    SCOPED_TRACE("Orca said:" + transcript(said));
    EXPECT_EQ(countContaining(said, failure), 1u);
    for (const auto& u : said) {
        if (u.text.find(failure) != std::string::npos) {
            EXPECT_LT(u.time - failedAt, 10.0) << "spoken late";
        }
    }
    expectNoJargon(said);
}
