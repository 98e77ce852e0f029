#include "FakeTools.h"
#include "TempDir.h"
#include "base/Cancellation.h"
#include "base/FileIo.h"
#include "install/BootstrapSystemInstaller.h"
#include "install/SystemInstallerDetail.h"
#include "install/WorkFolder.h"
#include "manifest/BootstrapFailure.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <thread>

#include <climits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
namespace installer = quorvane::BootstrapSystemInstaller;
using quorvane::BootstrapFailure;
using quorvane::BootstrapManifest;
using quorvane::FileDescriptor;
using namespace quorvane::test;

namespace {

// How a call ended, as comparable text.
std::string outcome(const std::function<void()>& call) {
    try {
        call();
        return "success";
    } catch (const BootstrapFailure& failure) {
        return "failure " + std::to_string(static_cast<int>(failure.kind()));
    } catch (const quorvane::CancellationError&) {
        return "cancelled";
    } catch (const std::system_error& e) {
        if (e.code().category() != std::generic_category())
            return std::string("error in ") + e.code().category().name();
        return "posix " + std::to_string(e.code().value());
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
}
std::string failure(const BootstrapFailure& f) {
    return "failure " + std::to_string(static_cast<int>(f.kind()));
}
std::string posix(int code) {
    return "posix " + std::to_string(code);
}

// Everything below `root`, links not followed: what each item is and holds.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> items;
    if (!fs::exists(fs::symlink_status(root)))
        return items;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const auto name = fs::relative(it->path(), root).string();
        if (it->is_symlink())
            items[name] = "link " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            items[name] = "folder";
        else
            items[name] = "file " + readFile(it->path());
    }
    return items;
}

bool waitFor(const fs::path& path) {
    for (int i = 0; i < 60'000 / 5; ++i) {
        if (fs::exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

struct Install : ::testing::Test {
    TempDir tmp;
    FakeTools tools{tmp / "tools"};
    fs::path target = tmp / "home" / "Applications";
    fs::path destination = target / "Quorvane Pro.app";
    quorvane::SystemContext context = tools.context(target);
    BootstrapManifest manifest = testManifest();
    fs::path package = tmp / "staging" / "Quorvane Pro.pkg";
    fs::path gate = tmp / "gate";
    int fixtures = 0;

    // A package whose app the fake package tool lays out as `mode` says.
    void givePackage(const AppFixture& app = {}, Expansion mode = Expansion::ok,
                     const fs::path& extra = {}) {
        const auto source = tmp / "fixtures" / std::to_string(++fixtures) / "Quorvane Pro.app";
        makeApp(source, app);
        fs::create_directories(package.parent_path());
        writePackage(package, source, mode, extra);
    }

    // A trusted copy that is not reusable: an older build of the pinned team, with a folder the
    // owner cannot write.
    void placeOlderCopy() {
        makeApp(destination, AppFixture().withBuild("2.9.100").withHash(hashB));
        fs::create_directories(destination / "Contents" / "Resources" / "locked");
        writeFile(destination / "Contents" / "Resources" / "locked" / "old-marker", "old");
        fs::permissions(destination / "Contents" / "Resources" / "locked",
                        fs::perms::owner_read | fs::perms::owner_exec);
    }

    fs::path install(std::stop_token stop = {}) {
        return installer::install(package, manifest, target, stop, context);
    }

    std::vector<std::string> workFolders() const {
        std::vector<std::string> names;
        if (fs::is_directory(target))
            for (const auto& entry : fs::directory_iterator(target))
                if (entry.path().filename().string().starts_with(".quorvane-"))
                    names.push_back(entry.path().filename().string());
        return names;
    }

    void expectNewApp() const {
        EXPECT_TRUE(installer::detail::matches(destination, manifest, context));
    }
};

} // namespace

TEST_F(Install, ExpandsInAPrivateWorkFolderAndMovesTheAppIntoAMissingFolder) {
    givePackage();
    EXPECT_EQ(install(), destination);
    expectNewApp();
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(target), fs::directory_iterator()),
              std::vector<fs::path>{destination});

    const auto args = tools.pkgutilArguments();
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[0], "--expand-full");
    EXPECT_EQ(args[1], package.string());
    const fs::path expansion = args[2];
    EXPECT_EQ(expansion.filename(), "Package");
    EXPECT_EQ(expansion.parent_path().parent_path(), target);
    EXPECT_TRUE(quorvane::isWorkFolderName(expansion.parent_path().filename().string()))
        << expansion;
    EXPECT_EQ(tools.workFolderMode(), "700\n");
    // The package tool ran while we held the lock, and did not get the locked descriptor.
    EXPECT_EQ(tools.pkgutilDescriptors().find(target.string() + "\n"), std::string::npos)
        << tools.pkgutilDescriptors();
}

TEST_F(Install, ReturnsAReusableDestinationUntouched) {
    const std::pair<const char*, AppFixture> cases[] = {
        {"the exact build", AppFixture()},
        {"a newer trusted build", AppFixture().withBuild("2.10").withHash(hashB)},
    };
    for (const auto& [name, app] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(target);
        tools.resetRecords();
        makeApp(destination, app);
        givePackage();
        const auto before = snapshot(target);
        EXPECT_EQ(install(), destination);
        EXPECT_EQ(snapshot(target), before);
        EXPECT_FALSE(tools.pkgutilRan());
    }
}

TEST_F(Install, SwapsOutATrustedCopyThatIsNotReusableAndDeletesIt) {
    const std::pair<const char*, AppFixture> cases[] = {
        {"older build", AppFixture().withBuild("2.9.100").withHash(hashB)},
        {"same build, other hash", AppFixture().withHash(hashB)},
    };
    for (const auto& [name, app] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(target);
        makeApp(destination, app);
        // A folder the owner cannot write must not keep the old copy alive.
        fs::create_directories(destination / "Contents" / "locked");
        writeFile(destination / "Contents" / "locked" / "old-marker", "old");
        fs::permissions(destination / "Contents" / "locked",
                        fs::perms::owner_read | fs::perms::owner_exec);
        givePackage();
        tools.resetRecords();
        EXPECT_EQ(install(), destination);
        // The old copy: is it this build (pinned), may it be replaced (unpinned) - one check
        // each, shared by the reuse and the replacement decisions; then the new app.
        EXPECT_EQ(tools.codesignCalls(), 3);
        expectNewApp();
        EXPECT_TRUE(workFolders().empty());
        for (const auto& [item, what] : snapshot(target))
            EXPECT_EQ(item.find("old-marker"), std::string::npos) << item;
    }
}

TEST_F(Install, RefusesAnythingUntrustedAtTheDestinationAndChangesNothing) {
    const auto elsewhere = tmp / "elsewhere" / "Quorvane Pro.app";
    makeApp(elsewhere); // the exact build, but not where it must be
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"plain file", [&] { writeFile(destination, "not an app"); }},
        {"link to a good app", [&] { fs::create_directory_symlink(elsewhere, destination); }},
        {"dangling link", [&] { fs::create_directory_symlink(tmp / "gone", destination); }},
        {"unsigned app", [&] { makeApp(destination, AppFixture().unsigned_()); }},
        {"foreign team", [&] { makeApp(destination, AppFixture().withTeam("ZZZZZZZZZZ")); }},
        {"one-number build",
         [&] { makeApp(destination, AppFixture().withBuild("7").withHash(hashB)); }},
        {"garbage Info.plist",
         [&] { makeApp(destination, AppFixture().withHash(hashB).withInfoPlist("<<<\x01")); }},
        {"empty folder", [&] { fs::create_directories(destination); }},
    };
    for (const auto& [name, place] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(target);
        fs::create_directories(target);
        tools.resetRecords();
        place();
        givePackage();
        const auto before = snapshot(target);
        EXPECT_EQ(outcome([&] { install(); }), failure(BootstrapFailure::appConflict));
        EXPECT_EQ(snapshot(target), before);
        EXPECT_FALSE(tools.pkgutilRan());
    }
}

TEST_F(Install, FailsBeforeTouchingTheFolderOnBadInputOrABusyFolder) {
    givePackage();
    fs::create_directories(tmp / "real");
    writeFile(tmp / "file", "");
    const std::string longName(200, 'n');
    // A target that fits PATH_MAX while its work folder's path does not.
    constexpr std::size_t deepLength = PATH_MAX - 30;
    fs::path deep = tmp.path();
    while (deep.string().size() < deepLength)
        deep /= longName.substr(0, std::min<std::size_t>(200, deepLength - deep.string().size()));

    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::string expected;
    };
    FileDescriptor held;
    const Case cases[] = {
        {"manifest fails validation", [&] { manifest.payloadSHA256 = "nope"; },
         failure(BootstrapFailure::configuration)},
        {"no code-directory hash", [&] { manifest.installedAppCDHash.reset(); },
         failure(BootstrapFailure::configuration)},
        {"folder cannot be created", [&] { target = tmp / "file" / "Applications"; },
         posix(ENOTDIR)},
        {"folder is a symbolic link",
         [&] {
             fs::create_directories(target.parent_path());
             fs::create_directory_symlink(tmp / "real", target);
         },
         failure(BootstrapFailure::installation)},
        {"lock held by another installer",
         [&] {
             fs::create_directories(target);
             held.reset(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
             ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
         },
         failure(BootstrapFailure::installation)},
        {"work folder cannot be created", [&] { target = deep; }, posix(ENAMETOOLONG)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(tmp / "home");
        target = tmp / "home" / "Applications";
        manifest = testManifest();
        held.reset();
        tools.resetRecords();
        c.prepare();
        const auto before = snapshot(tmp / "home");
        EXPECT_EQ(outcome([&] { install(); }), c.expected);
        EXPECT_EQ(snapshot(tmp / "home"), before);
        EXPECT_FALSE(tools.pkgutilRan());
        EXPECT_TRUE(snapshot(tmp / "real").empty());
    }
}

TEST_F(Install, AFailedExpansionOrAWrongAppLeavesTheDestinationAsItWas) {
    struct Case {
        const char* name;
        Expansion mode;
        AppFixture app;
        std::string expected;
    };
    const Case cases[] = {
        {"tool fails", Expansion::fail, {}, failure(BootstrapFailure::installation)},
        {"tool leaves half a folder", Expansion::half, {}, failure(BootstrapFailure::installation)},
        {"tool runs out of space", Expansion::full, {}, posix(ENOSPC)},
        {"tool crashes", Expansion::crash, {}, failure(BootstrapFailure::installation)},
        {"no app in the package", Expansion::noApp, {}, failure(BootstrapFailure::signature)},
        {"other hash", Expansion::ok, AppFixture().withHash(hashB),
         failure(BootstrapFailure::signature)},
        {"other version", Expansion::ok, AppFixture().withVersion("2.8"),
         failure(BootstrapFailure::signature)},
        {"other build", Expansion::ok, AppFixture().withBuild("2.9.413"),
         failure(BootstrapFailure::signature)},
        {"unsigned", Expansion::ok, AppFixture().unsigned_(), failure(BootstrapFailure::signature)},
    };
    for (const bool occupied : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (occupied ? ", older copy in place" : ", empty"));
            fs::remove_all(target);
            fs::create_directories(target);
            if (occupied)
                placeOlderCopy();
            givePackage(c.app, c.mode);
            const auto before = snapshot(target);
            EXPECT_EQ(outcome([&] { install(); }), c.expected);
            EXPECT_EQ(snapshot(target), before);
        }
    }
}

TEST_F(Install, APackageToolThatCannotStartThrowsTheLaunchError) {
    placeOlderCopy();
    givePackage();
    context.pkgutil = (tmp / "tools" / "missing").string();
    const auto before = snapshot(target);
    EXPECT_EQ(outcome([&] { install(); }), posix(ENOENT));
    EXPECT_EQ(snapshot(target), before);
}

TEST_F(Install, AnItemThatAppearsBeforeTheMoveIsKept) {
    // The fake expansion fills the empty destination after the check, like another program.
    givePackage({}, Expansion::race, destination);
    EXPECT_EQ(outcome([&] { install(); }), posix(EEXIST));
    EXPECT_EQ(snapshot(target), (std::map<std::string, std::string>{
                                    {"Quorvane Pro.app", "folder"},
                                    {"Quorvane Pro.app/intruder", "file intruder\n"}}));
}

TEST_F(Install, CancellationBeforeExpansionOrBeforeTheMoveChangesNothing) {
    fs::create_directories(target);
    placeOlderCopy();
    const auto before = snapshot(target);

    std::stop_source early;
    early.request_stop();
    givePackage();
    EXPECT_EQ(outcome([&] { install(early.get_token()); }), "cancelled");
    EXPECT_FALSE(tools.pkgutilRan());
    EXPECT_EQ(snapshot(target), before);

    // Cancelled while the package tool runs (and would run on forever): the tool is ended, its
    // work folder removed and the folder lock released.
    std::stop_source during;
    givePackage({}, Expansion::wait, gate);
    auto running = std::async(std::launch::async,
                              [&] { return outcome([&] { install(during.get_token()); }); });
    ASSERT_TRUE(waitFor(gate.string() + ".started"));
    during.request_stop();
    EXPECT_EQ(running.get(), "cancelled");
    EXPECT_TRUE(tools.pkgutilRan());
    EXPECT_EQ(snapshot(target), before);
    EXPECT_TRUE(workFolders().empty());
    const FileDescriptor folder(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(::flock(folder.get(), LOCK_EX | LOCK_NB), 0);
}

TEST_F(Install, ASecondInstallerOnTheSameFolderFailsWithoutDisturbingTheFirst) {
    fs::create_directories(target);
    placeOlderCopy();
    givePackage({}, Expansion::wait, gate);
    auto first = std::async(std::launch::async, [&] { return outcome([&] { install(); }); });
    ASSERT_TRUE(waitFor(gate.string() + ".started"));
    const auto during = workFolders();
    ASSERT_EQ(during.size(), 1u);

    const auto otherPackage = tmp / "other.pkg";
    makeApp(tmp / "other" / "Quorvane Pro.app");
    writePackage(otherPackage, tmp / "other" / "Quorvane Pro.app", Expansion::ok);
    EXPECT_EQ(outcome([&] { installer::install(otherPackage, manifest, target, {}, context); }),
              failure(BootstrapFailure::installation));
    EXPECT_EQ(workFolders(), during);

    writeFile(gate.string() + ".release", "");
    EXPECT_EQ(first.get(), "success");
    expectNewApp();
    EXPECT_TRUE(workFolders().empty());
}

TEST_F(Install, RemovesWorkFoldersThatAKilledInstallerLeftBehind) {
    fs::create_directories(target);
    const auto debris =
        target / (".quorvane-" + std::string("0F6C1B4E-9A3D-4C2B-8E71-5D0A9B3C7E21"));
    makeApp(debris / "Package" / "Payload" / "Applications" / "Quorvane Pro.app");
    fs::permissions(debris / "Package", fs::perms::owner_read | fs::perms::owner_exec);
    // Only that exact form is ours to remove: a link and an unrelated hidden folder stay.
    fs::create_directories(tmp / "keep");
    writeFile(tmp / "keep" / "precious", "data");
    const auto link = target / ".quorvane-11111111-2222-4333-8444-555555555555";
    fs::create_directory_symlink(tmp / "keep", link);
    fs::create_directories(target / ".quorvane-settings");

    givePackage();
    EXPECT_EQ(install(), destination);
    EXPECT_FALSE(fs::exists(fs::symlink_status(debris)));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(tmp / "keep" / "precious"), "data");
    EXPECT_TRUE(fs::is_directory(target / ".quorvane-settings"));
}

TEST_F(Install, TheDestinationNeverGoesMissingDuringASwap) {
    // Two builds with different hashes replace each other, so that every install swaps.
    const auto packageA = tmp / "a.pkg";
    const auto packageB = tmp / "b.pkg";
    makeApp(tmp / "a" / "Quorvane Pro.app", AppFixture().withHash(hashA));
    makeApp(tmp / "b" / "Quorvane Pro.app", AppFixture().withHash(hashB));
    writePackage(packageA, tmp / "a" / "Quorvane Pro.app", Expansion::ok);
    writePackage(packageB, tmp / "b" / "Quorvane Pro.app", Expansion::ok);
    makeApp(destination, AppFixture().withHash(hashB));
    const auto manifestA = testManifest("2.9", "2.9.412", hashA);
    const auto manifestB = testManifest("2.9", "2.9.412", hashB);

    std::atomic<bool> done{false};
    std::atomic<long> looks{0};
    std::atomic<long> missing{0};
    std::thread watcher([&] {
        struct stat info {};
        while (!done) {
            if (::lstat(destination.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
                ++missing;
            ++looks;
        }
    });
    for (int round = 0; round < 20; ++round) {
        const bool a = round % 2 == 0;
        installer::install(a ? packageA : packageB, a ? manifestA : manifestB, target, {}, context);
        ASSERT_TRUE(installer::detail::matches(destination, a ? manifestA : manifestB, context));
    }
    done = true;
    watcher.join();
    EXPECT_GT(looks, 0);
    EXPECT_EQ(missing, 0);
}
