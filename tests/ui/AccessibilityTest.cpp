// The recording bridge below is built into this program as a static plugin.
#define QT_STATICPLUGIN

#include <vector>

#include <QAccessible>
#include <QAccessibleBridgePlugin>
#include <QApplication>
#include <QTest>
#include <QtPlugin>

#include <gtest/gtest.h>

#include "BootstrapView.h"
#include "BootstrapWindow.h"
#include "UiFixture.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

struct Heard {
    QAccessible::Event type;
    QObject* object;
    QVariant value;
};
std::vector<Heard> heard;

// What a screen reader's bridge receives: Qt hands every accessibility event to the loaded
// bridges, so this one records them.
class RecordingBridge : public QAccessibleBridge {
public:
    void setRootObject(QAccessibleInterface*) override {}
    void notifyAccessibilityUpdate(QAccessibleEvent* event) override {
        if (event->type() != QAccessible::NameChanged &&
            event->type() != QAccessible::ValueChanged &&
            event->type() != QAccessible::DescriptionChanged &&
            event->type() != QAccessible::Focus && event->type() != QAccessible::ObjectShow)
            return;
        QVariant value;
        if (event->type() == QAccessible::ValueChanged)
            value = static_cast<QAccessibleValueChangeEvent*>(event)->value();
        // What a bridge would send along: the text as it is when the event comes.
        if (event->type() == QAccessible::DescriptionChanged ||
            event->type() == QAccessible::Focus) {
            // Null while the widget is being destroyed.
            QAccessibleInterface* element = event->accessibleInterface();
            if (!element)
                return;
            value = element->text(QAccessible::Description);
        }
        // A notification shown is spoken by its name, without a role word inside a status bar.
        if (event->type() == QAccessible::ObjectShow) {
            QAccessibleInterface* element = event->accessibleInterface();
            if (!element || element->role() != QAccessible::Notification || !element->parent() ||
                element->parent()->role() != QAccessible::StatusBar)
                return;
            value = element->text(QAccessible::Name);
        }
        heard.push_back({event->type(), event->object(), value});
    }
};

class RecordingBridgePlugin : public QAccessibleBridgePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QAccessibleBridgeFactoryInterface_iid FILE "RecordingBridge.json")

public:
    // Qt uses the bridge for the rest of the program and never frees it.
    QAccessibleBridge* create(const QString&) override {
        static RecordingBridge bridge;
        return &bridge;
    }
};

struct ScreenReader {
    ScreenReader() { heard.clear(); }
    // The events of `type` heard since the last look, which are then forgotten.
    std::vector<Heard> take(QAccessible::Event type) {
        std::vector<Heard> taken, kept;
        for (const Heard& h : heard)
            (h.type == type ? taken : kept).push_back(h);
        heard = kept;
        return taken;
    }
};

} // namespace

TEST(Accessibility, viewExposesTitleBarAndStatusButNotTheArtwork) {
    ModelFixture fixture(sampleManifest(), 0);
    BootstrapView view(fixture.model);
    fixture.model->setPhase(InstallerPhase::failed("It broke."));
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(&view);
    ASSERT_EQ(root->childCount(), 3) << "title, progress bar, status; no icon, no waves";
    EXPECT_EQ(root->child(0)->text(QAccessible::Name), "Installing Quorvane Pro");
    EXPECT_EQ(root->child(1)->role(), QAccessible::ProgressBar);

    QAccessibleInterface* status = findAccessible(root, "installer-status");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status, root->child(2));
    EXPECT_EQ(status->role(), QAccessible::StatusBar);
    EXPECT_EQ(childNames(status), QStringList({"It broke.", "Retry"}));
    EXPECT_EQ(status->child(0)->role(), QAccessible::StaticText);
    EXPECT_EQ(status->child(1)->role(), QAccessible::Button);
    EXPECT_EQ(status->indexOfChild(status->child(1)), 1);

    // Hidden lines leave the block along with the phase that showed them.
    fixture.model->setPhase(InstallerPhase::verifying());
    EXPECT_EQ(status->childCount(), 1);
    // Nothing in the tree lies over the icon.
    const QRect icon(view.mapToGlobal(view.iconRect().topLeft()), view.iconRect().size());
    for (int i = 0; i < root->childCount(); ++i)
        EXPECT_FALSE(root->child(i)->rect().intersects(icon)) << i;
}

TEST(Accessibility, phaseChangesAndWholePercentsAreAnnouncedOnce) {
    ModelFixture fixture(sampleManifest(), 0); // 50,000,000-byte tail
    BootstrapView view(fixture.model);
    ScreenReader reader;
    QObject* firstLine = &view.statusBlock().firstLine();
    QObject* bar = &view.progressBar();

    // Name changes of the first line: each line tells when its text changes, so that clients
    // that keep a copy stay current.
    const auto firstLineNames = [&] {
        std::size_t count = 0;
        for (const Heard& h : reader.take(QAccessible::NameChanged))
            count += h.object == firstLine;
        return count;
    };
    fixture.model->setPhase(InstallerPhase::checking());
    fixture.model->setPhase(InstallerPhase::checking()); // the same phase again
    EXPECT_EQ(firstLineNames(), 1u);

    // Entering the download announces its phase and 0%; then each whole percent once, however
    // many reports fall inside it.
    fixture.model->setPhase(InstallerPhase::downloading());
    for (std::int64_t received = 0; received <= 2'000'000; received += 10'000)
        fixture.model->setReceived(received);
    fixture.model->setReceived(2'000'000);
    EXPECT_EQ(firstLineNames(), 1u);
    const auto values = reader.take(QAccessible::ValueChanged);
    std::vector<int> percents;
    for (const Heard& h : values) {
        EXPECT_EQ(h.object, bar);
        percents.push_back(h.value.toInt());
    }
    EXPECT_EQ(percents, (std::vector<int>{0, 1, 2, 3, 4}));

    // No percent outside the download; a failure is a phase change like any other, and a new
    // sentence is a change too.
    fixture.model->setPhase(InstallerPhase::failed("Lost the connection."));
    fixture.model->setReceived(3'000'000);
    EXPECT_EQ(reader.take(QAccessible::ValueChanged).size(), 0u);
    EXPECT_EQ(firstLineNames(), 1u);
    fixture.model->setPhase(InstallerPhase::failed("Lost the connection."));
    EXPECT_EQ(firstLineNames(), 0u);
    fixture.model->setPhase(InstallerPhase::failed("Another sentence."));
    EXPECT_EQ(firstLineNames(), 1u);
    // The megabytes line tells of its changes too, once each.
    fixture.model->setPhase(InstallerPhase::downloading());
    reader.take(QAccessible::NameChanged);
    for (std::int64_t received = 0; received <= 3'000'000; received += 250'000)
        fixture.model->setReceived(received);
    EXPECT_EQ(reader.take(QAccessible::NameChanged).size(), 4u) << "back to 0, then 1, 2 and 3 MB";
}

TEST(Accessibility, theWindowDescribesEachPhaseAndAFailureIsSpokenOnce) {
    ModelFixture fixture(sampleManifest(), 0);
    BootstrapWindow window(fixture.model);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    ScreenReader reader;
    const auto descriptions = [&] {
        QStringList texts;
        for (const Heard& h : reader.take(QAccessible::DescriptionChanged))
            if (h.object == &window)
                texts.append(h.value.toString());
        return texts;
    };
    const std::string sentence = "Could not download the installer.";
    for (const InstallerPhase& phase :
         {InstallerPhase::checking(), InstallerPhase::downloading(), InstallerPhase::verifying(),
          InstallerPhase::installing(), InstallerPhase::failed(sentence),
          InstallerPhase::checking()})
        fixture.model->setPhase(phase);
    // A failure leaves the window without a description: it is spoken where it moves focus.
    EXPECT_EQ(
        descriptions(),
        QStringList({"Checking the installed app…", "Downloading Quorvane Pro 4.2.1… 0% downloaded",
                     "Verifying the installer…", "Adding Quorvane Pro to Applications…", "",
                     "Checking the installed app…"}));
    // During the download it holds the whole percent, read on demand: the megabytes change it
    // once per whole percent, never more.
    fixture.model->setPhase(InstallerPhase::downloading());
    reader.take(QAccessible::DescriptionChanged);
    for (std::int64_t received = 0; received <= 1'500'000; received += 100'000)
        fixture.model->setReceived(received); // of a 50,000,000-byte tail
    EXPECT_EQ(descriptions(), QStringList({"Downloading Quorvane Pro 4.2.1… 1% downloaded",
                                           "Downloading Quorvane Pro 4.2.1… 2% downloaded",
                                           "Downloading Quorvane Pro 4.2.1… 3% downloaded"}));

    // The failure is announced once and moves focus to Retry, which repeats nothing.
    reader.take(QAccessible::Focus);
    reader.take(QAccessible::ObjectShow);
    fixture.model->setPhase(InstallerPhase::failed(sentence));
    const auto focus = reader.take(QAccessible::Focus);
    ASSERT_EQ(focus.size(), 1u);
    EXPECT_EQ(focus[0].object, &window.view().statusBlock().retryButton());
    EXPECT_EQ(focus[0].value.toString(), "");
    const auto shown = reader.take(QAccessible::ObjectShow);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].value.toString().toStdString(), sentence);
    EXPECT_EQ(window.accessibleDescription(), "");
}

TEST(Accessibility, eachNewStatusLineIsAnnouncedOnceWithoutTakingFocus) {
    ModelFixture fixture(sampleManifest(), 0);
    BootstrapWindow window(fixture.model);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    // Its download is refused at once; leaving the failure hands focus back to the window.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return fixture.model->phase().kind() == InstallerPhase::Kind::failed; }));
    fixture.model->setPhase(InstallerPhase::verifying());
    // Past the moment in which the reader reads the window that got focus.
    QTest::qWait(StatusBlock::windowReadingMs + 100);
    ScreenReader reader;
    const auto announced = [&] {
        QStringList texts;
        for (const Heard& h : reader.take(QAccessible::ObjectShow))
            texts.append(h.value.toString());
        return texts;
    };
    const auto focusMoves = [&] { return reader.take(QAccessible::Focus).size(); };

    fixture.model->setPhase(InstallerPhase::checking());
    fixture.model->setPhase(InstallerPhase::downloading());
    for (std::int64_t received = 0; received <= 3'000'000; received += 250'000)
        fixture.model->setReceived(received);
    fixture.model->setPhase(InstallerPhase::downloading(InstallerPhase::Connection::reconnecting));
    fixture.model->setPhase(InstallerPhase::downloading());
    fixture.model->setPhase(
        InstallerPhase::downloading(InstallerPhase::Connection::waitingForNetwork));
    fixture.model->setPhase(InstallerPhase::downloading());
    fixture.model->setPhase(InstallerPhase::verifying());
    fixture.model->setPhase(InstallerPhase::installing());
    // The phases, each once as it begins, and the reconnection; never the megabytes.
    EXPECT_EQ(announced(),
              QStringList({"Checking the installed app…", "Downloading Quorvane Pro 4.2.1…",
                           "Reconnecting…", "Waiting for the network…", "Verifying the installer…",
                           "Adding Quorvane Pro to Applications…"}));
    EXPECT_EQ(focusMoves(), 0u);

    // Any other line shown in the status block is announced the same way.
    StatusBlock& status = window.view().statusBlock();
    status.setContent({.lines = {"Downloading Quorvane Pro 4.2.1…", "Waiting for the network…"}});
    EXPECT_EQ(announced(),
              QStringList({"Downloading Quorvane Pro 4.2.1…", "Waiting for the network…"}));

    // A failure is announced too, and moves focus to Retry. Leaving it hands focus back to the
    // window, which the reader reads with its phase: that is not announced again.
    fixture.model->setPhase(InstallerPhase::failed("It broke."));
    EXPECT_EQ(announced(), QStringList({"It broke."}));
    EXPECT_EQ(focusMoves(), 1u);
    fixture.model->setPhase(InstallerPhase::checking());
    EXPECT_EQ(announced(), QStringList());

    // A user in another window hears failures only.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    fixture.model->setPhase(InstallerPhase::verifying());
    EXPECT_EQ(announced(), QStringList());
    fixture.model->setPhase(InstallerPhase::failed("It broke again."));
    EXPECT_EQ(announced(), QStringList({"It broke again."}));
}

Q_IMPORT_PLUGIN(RecordingBridgePlugin)

#include "AccessibilityTest.moc"
