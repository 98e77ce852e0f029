// The real installer read from outside by an AT-SPI client, as a screen reader reads it: the
// window, the progress bar and the status block found by role and position, the events a
// screen reader speaks from, and Retry pressed through its AT-SPI action.

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <set>
#include <string_view>

#include <QCoreApplication>

#include "AtspiSession.h"
#include "BootstrapWindow.h"
#include "E2eTest.h"
#include "ImageDifference.h"
#include "Languages.h"
#include "PhaseLines.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

using namespace phaseLine;

class Atspi : public E2e {
protected:
    void SetUp() override {
        E2e::SetUp();
        if (IsSkipped())
            return;
        if (const auto why = atspiUnavailable(); !why.empty())
            GTEST_SKIP() << why;
    }
};

bool isState(const json& r) {
    return r["kind"] == "state" && !r["window"].is_null();
}

bool isEvent(const json& r, const std::string& type) {
    return r["kind"] == "event" && r["type"] == type;
}

// Whether `text` is `line`, or `line` followed by more (the percent, while downloading).
bool startsWithLine(const std::string& text, const std::string& line) {
    return text == line || text.starts_with(line + " ");
}

// The phase a state shows, from the window's description, the bar and the failure controls. A
// failure leaves the window without a description.
std::string phaseOf(const json& state) {
    const std::string description = state["window"]["description"];
    if (!state["retry"].is_null() || description.empty())
        return "failed";
    if (description == checking)
        return "checking";
    if (startsWithLine(description, downloading))
        return state["bar"]["valueText"] == "" ? "ready" : "downloading";
    if (description == verifying)
        return "verifying";
    if (description == installing)
        return "installing";
    return "unknown: " + description;
}

// The status lines a reader heard, in order: the window's description as it changed (its first
// status line, the percent after it while downloading), and each announcement. A text that
// begins with one of `known` counts as that line; a line heard again at once counts once.
std::vector<std::string> heardLines(const std::vector<json>& records,
                                    const std::vector<std::string>& known, std::size_t from = 0,
                                    std::size_t to = std::string::npos) {
    std::vector<std::string> heard;
    for (std::size_t i = from; i < std::min(to, records.size()); ++i) {
        const auto& r = records[i];
        std::string text;
        if (isEvent(r, "object:property-change:accessible-description") &&
            r["source"]["role"] == "frame")
            text = r["source"]["description"];
        else if (isEvent(r, "object:state-changed:showing") && r["detail1"] == 1 &&
                 r["source"]["role"] == "notification")
            text = r["source"]["name"];
        if (text.empty())
            continue;
        for (const auto& line : known)
            if (startsWithLine(text, line))
                text = line;
        if (heard.empty() || heard.back() != text)
            heard.push_back(text);
    }
    return heard;
}

// `expected` appear in `heard` in this order (others may come between them).
void expectHeardInOrder(const std::vector<std::string>& heard,
                        const std::vector<std::string>& expected) {
    auto at = heard.begin();
    for (const auto& line : expected) {
        at = std::find(at, heard.end(), line);
        ASSERT_NE(at, heard.end())
            << "not heard in order: " << line << " in " << json(heard).dump();
        ++at;
    }
}

std::string joinedLines(const json& lines) {
    std::string text;
    for (const auto& line : lines)
        text += (text.empty() ? "" : " / ") + line.get<std::string>();
    return text;
}

// What the client saw in each phase, first sight of each, as a table for the notes.
void writePhaseTable(const std::vector<json>& records, const std::string& name) {
    const fs::path folder = fs::path(QUORVANE_BINARY_DIR) / "e2e-results";
    fs::create_directories(folder);
    std::ofstream raw(folder / (name + ".jsonl"));
    for (const auto& r : records)
        raw << r.dump() << "\n";
    std::ofstream out(folder / (name + ".md"));
    out << "| phase | window (name; description) | progress bar (role, name, value text) | status "
           "block (role; lines) | Retry (description; states) | focus events | value events |\n"
           "| --- | --- | --- | --- | --- | --- | --- |\n";
    // Each phase's first state, and the focus events heard until the next phase's.
    std::vector<std::pair<std::size_t, std::string>> rows;
    for (std::size_t i = 0; i < records.size(); ++i)
        if (isState(records[i]) && (rows.empty() || rows.back().second != phaseOf(records[i])))
            rows.emplace_back(i, phaseOf(records[i]));
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const auto& [index, phase] = rows[row];
        const auto& r = records[index];
        const std::size_t end = row + 1 < rows.size() ? rows[row + 1].first : records.size();
        std::string focus, values;
        for (std::size_t i = index; i < end; ++i) {
            const auto& e = records[i];
            if (e["kind"] != "event" || !e["source"].contains("role"))
                continue;
            if (e["type"] == "object:state-changed:focused" && e["detail1"] == 1)
                focus += e["source"]["role"].get<std::string>() + " \"" +
                         e["source"]["name"].get<std::string>() +
                         "\": " + e["source"]["description"].get<std::string>() + " ";
            if (e["type"] == "object:property-change:accessible-value" &&
                e["source"].contains("valueText"))
                values += e["source"]["valueText"].get<std::string>() + " ";
        }
        std::string retry = "none";
        if (!r["retry"].is_null()) {
            retry = r["retry"]["description"].get<std::string>() + "; ";
            for (const auto& s : r["retry"]["states"])
                retry += s.get<std::string>() + " ";
        }
        out << "| " << phase << " | " << r["window"]["name"].get<std::string>() << "; "
            << r["window"]["description"].get<std::string>() << " | "
            << r["bar"]["role"].get<std::string>() << ", " << r["bar"]["name"].get<std::string>()
            << ", \"" << r["bar"]["valueText"].get<std::string>() << "\" | "
            << r["status"]["role"].get<std::string>() << "; " << joinedLines(r["lines"]) << " | "
            << retry << " | " << focus << " | " << values << " |\n";
    }
}

// Takes a run of ASCII digits from the front of `text`; false when there is none.
bool takeDigits(std::string_view& text, std::string_view* digits = nullptr) {
    const auto end = text.find_first_not_of("0123456789");
    const std::size_t length = end == std::string_view::npos ? text.size() : end;
    if (length == 0)
        return false;
    if (digits)
        *digits = text.substr(0, length);
    text.remove_prefix(length);
    return true;
}

// "N%" for a whole percent from 0 to 100.
bool isPercent(std::string_view text) {
    std::string_view digits;
    if (!takeDigits(text, &digits) || text != "%" || digits.size() > 3 ||
        (digits.size() > 1 && digits[0] == '0'))
        return false;
    return std::stoi(std::string(digits)) <= 100;
}

// "N MB of M MB".
bool isMegabytes(std::string_view text) {
    if (!takeDigits(text) || !text.starts_with(" MB of "))
        return false;
    text.remove_prefix(7);
    return takeDigits(text) && text == " MB";
}

// Every state read: the window and the bar are found and named, the bar has a value text
// exactly while downloading, and the failure's sentence is read alone. (Phases follow one
// another quickly, and labels' names can lag a reading behind the window's description and the
// bar; so in working phases only known lines are required.)
void expectStatesMatchTheirPhase(const std::vector<json>& records, const std::string& failure,
                                 bool downloads) {
    const std::vector<std::string> known = {checking, downloading, verifying, installing, failure};
    bool countedMegabytes = false;
    bool sawFailureAlone = false;
    for (const auto& r : records) {
        if (!isState(r))
            continue;
        SCOPED_TRACE(r.dump());
        EXPECT_EQ(r["window"]["role"], "frame");
        EXPECT_EQ(r["window"]["name"], "Install Quorvane Pro");
        ASSERT_FALSE(r["bar"].is_null()) << "no progress bar";
        EXPECT_EQ(r["bar"]["role"], "progress bar");
        EXPECT_EQ(r["bar"]["name"], "Installation progress");
        ASSERT_FALSE(r["status"].is_null()) << "nothing after the progress bar";
        EXPECT_EQ(r["status"]["role"], "status bar");
        const std::string phase = phaseOf(r);
        EXPECT_EQ(phase.find("unknown"), std::string::npos) << phase;
        const std::string value = r["bar"]["valueText"];
        if (phase == "downloading") {
            EXPECT_TRUE(isPercent(value)) << value;
        } else {
            EXPECT_EQ(value, "") << phase;
        }
        if (phase == "failed") {
            // Read across a change, a state may show the failure's controls with the lines
            // of the phase before or after (a label's name can lag a reading behind); the
            // failure is seen alone at least once.
            sawFailureAlone |= r["lines"] == json::array({failure});
            continue;
        }
        ASSERT_GE(r["lines"].size(), 1u);
        EXPECT_NE(std::find(known.begin(), known.end(), r["lines"][0]), known.end());
        if (phase == "downloading" && r["lines"].size() == 2 && r["lines"][0] == downloading)
            countedMegabytes |= isMegabytes(r["lines"][1].get<std::string>());
    }
    EXPECT_EQ(countedMegabytes, downloads) << "the download's two lines, read together";
    EXPECT_TRUE(sawFailureAlone) << "the failure's sentence never read alone";
}

} // namespace

TEST_F(Atspi, aScreenReaderFollowsEveryPhaseAndRetries) {
    AtspiSession session(sharedXServer().display());
    // The download reports every MiB: 24 of them make steps of about 4%. (Each whole percent
    // is announced at most once; that it is announced at every one is checked in-process.)
    E2eWorld world({.fillerBytes = 24 << 20, .environment = session.installerEnvironment()});
    // A slow download that breaks off at 40%.
    const auto piece = std::size_t(fs::file_size(world.kit.tail) / 100 + 1);
    world.server.route(
        "/tail",
        {.bodyFile = world.kit.tail, .pieceBytes = piece, .pause = 20ms, .dropAfter = piece * 40});
    const std::string failure = sentenceOf(BootstrapFailure::download);

    ASSERT_TRUE(session.startReader()) << "see " << session.folder();
    auto run = world.launch();
    ASSERT_TRUE(run->awaitWindow());
    // The window manager's part: the new window gets the input focus.
    ASSERT_TRUE(run->focusWindow());
    // The failure is heard as focus on Retry; then it is pressed.
    const auto retryFocused = [](const json& r) {
        return isEvent(r, "object:state-changed:focused") && r["detail1"] == 1 &&
               r["source"]["name"] == "Retry";
    };
    ASSERT_TRUE(session.awaitRecord(retryFocused, 120s)) << "see " << session.folder();

    // Retry through the client, against a server that now sends everything.
    world.server.route("/tail", {.bodyFile = world.kit.tail, .pieceBytes = piece, .pause = 10ms});
    ASSERT_TRUE(session.pressRetry()) << "see " << session.folder();
    EXPECT_EQ(run->exitStatus(120s), 0) << "the second attempt did not install and open the app";
    // The client has heard the last events once the window has gone.
    EXPECT_TRUE(session.awaitRecord(
        [](const json& r) { return r["kind"] == "state" && r["window"].is_null(); }, 30s));
    session.stopReader();
    const auto records = session.records();
    writePhaseTable(records, "atspi-phases-retry");
    expectStatesMatchTheirPhase(records, failure, true);

    // The failure took the focus: Retry, focusable and pressable, repeating nothing of the
    // sentence, which was announced. Nothing before it went to the close control.
    std::size_t pressedAt = records.size();
    for (std::size_t i = 0; i < records.size(); ++i)
        if (records[i]["kind"] == "pressed")
            pressedAt = i;
    ASSERT_LT(pressedAt, records.size());
    std::optional<json> lastFocus;
    for (std::size_t i = 0; i < pressedAt; ++i) {
        const auto& r = records[i];
        if (isEvent(r, "object:state-changed:focused") && r["detail1"] == 1) {
            EXPECT_NE(r["source"]["name"], "Close");
            lastFocus = r["source"];
        }
    }
    ASSERT_TRUE(lastFocus) << "no focus event";
    EXPECT_EQ((*lastFocus)["role"], "push button");
    EXPECT_EQ((*lastFocus)["name"], "Retry");
    EXPECT_EQ((*lastFocus)["description"], "");
    const auto& states = (*lastFocus)["states"];
    EXPECT_NE(std::find(states.begin(), states.end(), "focusable"), states.end());
    EXPECT_NE(std::find(states.begin(), states.end(), "focused"), states.end());
    const auto& actions = (*lastFocus)["actions"];
    EXPECT_NE(std::find(actions.begin(), actions.end(), "Press"), actions.end());

    // The phases were heard in order: the download, the failure announced, the download
    // again. (The window's description is read when its event is handled, so a short phase may
    // read as the next one; an announcement keeps its text but goes with the window, so the
    // last phases, which end as the app opens, may be gone before they are read.)
    const std::vector<std::string> known = {checking,  downloading, reconnecting,
                                            verifying, installing,  failure};
    const auto heard = heardLines(records, known);
    for (const auto& line : heard)
        EXPECT_NE(std::find(known.begin(), known.end(), line), known.end()) << "heard: " << line;
    expectHeardInOrder(heard, {downloading, failure});
    expectHeardInOrder(heardLines(records, known, pressedAt), {downloading});

    // The bar's value changed once per whole percent at most, rising, in each attempt.
    for (const bool second : {false, true}) {
        SCOPED_TRACE(second ? "second attempt" : "first attempt");
        std::vector<double> values;
        std::size_t changes = 0;
        for (std::size_t i = second ? pressedAt : 0; i < (second ? records.size() : pressedAt);
             ++i) {
            const auto& r = records[i];
            if (!isEvent(r, "object:property-change:accessible-value") ||
                r["source"]["role"] != "progress bar")
                continue;
            ++changes;
            // Read when handled: on a loaded machine that may be after the download ended.
            if (r["source"].contains("value") && r["source"]["valueText"] != "")
                values.push_back(r["source"]["value"]);
        }
        EXPECT_GE(changes, 5u) << "too few value changes heard";
        // A dropped connection without a validator starts the tail over, the one time the bar
        // may go back; each run in between rises. Read when handled, a value may already be the
        // next one (heard twice); but never a smaller one within a run, never a fraction, and no
        // more changes than whole percents up to the run's last.
        std::vector<std::vector<double>> runs(1);
        for (const double v : values) {
            if (!runs.back().empty() && v < runs.back().back())
                runs.emplace_back();
            if (runs.back().empty() || runs.back().back() != v)
                runs.back().push_back(v);
        }
        for (const auto& run : runs) {
            for (const double v : run)
                EXPECT_EQ(v, std::floor(v)) << "not a whole percent";
            EXPECT_LE(run.size(), std::size_t(run.back() + 1))
                << "more than one change per whole percent: " << json(values).dump();
        }
    }
}

TEST_F(Atspi, withoutRetryTheFailuresLineTakesFocus) {
    AtspiSession session(sharedXServer().display());
    E2eWorld world({.environment = session.installerEnvironment()});
    writeFile(world.installerFolder / "Resources" / "Payload.json", "{\"version\": ");
    const std::string failure = sentenceOf(BootstrapFailure::configuration);

    ASSERT_TRUE(session.startReader()) << "see " << session.folder();
    auto run = world.launch();
    ASSERT_TRUE(run->awaitWindow());
    ASSERT_TRUE(run->focusWindow());
    // The failure's line takes focus, read as the sentence alone; the block repeats nothing.
    const auto lineFocused = [&](const json& r) {
        return isEvent(r, "object:state-changed:focused") && r["detail1"] == 1 &&
               r["source"]["role"] == "label" && r["source"]["name"] == failure;
    };
    EXPECT_TRUE(session.awaitRecord(lineFocused, 60s)) << "see " << session.folder();
    EXPECT_TRUE(session.awaitRecord(
        [&](const json& r) {
            return isState(r) && r["retry"].is_null() && r["lines"] == json::array({failure}) &&
                   r["status"]["description"] == "" && r["window"]["description"] == "";
        },
        30s));
    session.stopReader();
    const auto records = session.records();
    writePhaseTable(records, "atspi-phases-no-retry");
    expectStatesMatchTheirPhase(records, failure, false);
}

namespace {

struct SpokenLanguage {
    std::string name;
    std::map<std::string, std::string> environment;
    std::string retry; // the desktop's word, as a reader of the language expects it
};

void PrintTo(const SpokenLanguage& language, std::ostream* out) {
    *out << language.name;
}

class AtspiLanguage : public Atspi, public ::testing::WithParamInterface<SpokenLanguage> {};

} // namespace

// The installer started in the user's language: its window found by its translated title and
// drawn as the offscreen rendering in that language (right to left for Arabic), the failure
// sentence in English under the language's Retry, and a screen reader hearing the translated
// window, bar, phase lines and Retry; pressed, Retry installs.
TEST_P(AtspiLanguage, theWindowAndTheReaderSpeakTheUsersLanguage) {
    const SpokenLanguage& language = GetParam();
    AtspiSession session(sharedXServer().display());
    auto environment = session.installerEnvironment();
    QProcessEnvironment asked;
    for (const auto& [name, value] : language.environment) {
        environment[name] = value;
        asked.insert(QString::fromStdString(name), QString::fromStdString(value));
    }
    E2eWorld world({.environment = environment});

    // The texts as the installer's translation has them, looked up here the same way; the
    // window reader renders its candidates in this language too.
    LanguageScope scope(
        l10n::chooseLanguage(l10n::preferredLanguages(asked), l10n::builtInTranslations()));
    ASSERT_FALSE(l10n::current().isEnglish());
    const QString product = "Quorvane Pro";
    const std::string title = BootstrapWindow::tr("Install %1").arg(product).toStdString();
    const std::string downloading =
        BootstrapView::tr("Downloading %1 %2…").arg(product, "2.4.1").toStdString();
    const std::string installing =
        BootstrapView::tr("Adding %1 to Applications…").arg(product).toStdString();
    const std::string barName =
        QCoreApplication::translate("quorvane::ProgressBar", "Installation progress").toStdString();
    EXPECT_EQ(StatusBlock::tr("Retry").toStdString(), language.retry);
    const std::string failure = sentenceOf(BootstrapFailure::download);

    world.server.route("/tail", {.status = 404, .body = "not here"});
    ASSERT_TRUE(session.startReader()) << "see " << session.folder();
    RunOptions options;
    options.windowTitle = title;
    auto run = world.launch({}, {}, {}, options);
    ASSERT_TRUE(run->awaitWindow()) << "no window titled " << title;
    // Read before the window has the input focus, which draws a ring around Retry.
    const auto outcome = run->settle(world.reader());
    ASSERT_EQ(outcome.sentence, failure);
    const QImage capture(QString::fromStdString(run->failureCapture().string()));
    const ImageDifference difference = compareImages(capture, world.reader().rendering(failure));
    EXPECT_LT(difference.meanChannel, 1.0) << "pixels apart: " << difference.pixelsApart;
    EXPECT_LT(difference.pixelsApart, 0.005) << "mean channel: " << difference.meanChannel;

    // The window manager's part: the window gets the input focus, and the reader hears Retry.
    ASSERT_TRUE(run->focusWindow());
    const auto retryFocused = [&](const json& r) {
        return isEvent(r, "object:state-changed:focused") && r["detail1"] == 1 &&
               r["source"]["name"] == language.retry;
    };
    ASSERT_TRUE(session.awaitRecord(retryFocused, 60s)) << "see " << session.folder();
    // A download slow enough to be heard (about a second).
    world.server.route("/tail",
                       {.bodyFile = world.kit.tail, .pieceBytes = 64 << 10, .pause = 60ms});
    ASSERT_TRUE(session.pressRetry()) << "see " << session.folder();
    EXPECT_EQ(run->exitStatus(120s), 0) << "Retry did not install and open the app";
    EXPECT_TRUE(session.awaitRecord(
        [](const json& r) { return r["kind"] == "state" && r["window"].is_null(); }, 30s));
    session.stopReader();

    const auto records = session.records();
    int states = 0;
    for (const auto& r : records) {
        if (isState(r)) {
            ++states;
            EXPECT_EQ(r["window"]["name"], title);
            if (!r["bar"].is_null()) {
                EXPECT_EQ(r["bar"]["name"], barName);
            }
        }
    }
    EXPECT_GT(states, 0);
    // Every line heard is the translation's, and the failure and the download are heard in
    // order (the installation may end with the window before it is read).
    const std::vector<std::string> known = {
        BootstrapView::tr("Checking the installed app…").toStdString(), downloading,
        BootstrapView::tr("Verifying the installer…").toStdString(), installing, failure};
    const auto heard = heardLines(records, known);
    for (const auto& line : heard)
        EXPECT_NE(std::find(known.begin(), known.end(), line), known.end()) << "heard: " << line;
    expectHeardInOrder(heard, {failure, downloading});
}

INSTANTIATE_TEST_SUITE_P(
    Languages, AtspiLanguage,
    ::testing::Values(SpokenLanguage{"German", {{"LANGUAGE", "de"}}, "Erneut versuchen"},
                      SpokenLanguage{"Arabic", {{"LANG", "ar_EG.UTF-8"}}, "إعادة المحاولة"},
                      SpokenLanguage{"Japanese", {{"LANG", "ja_JP.UTF-8"}}, "再試行"}),
    [](const auto& info) { return info.param.name; });
