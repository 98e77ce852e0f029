// The diagnostic log on disk: owner-only, rotated with one predecessor, whole lines from
// concurrent installers, never through a link.

#include "LogFile.h"
#include "DiagnosticLog.h"
#include "TempDir.h"

#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using quorvane::diagnostics::LogFile;
using namespace quorvane::test;

namespace {

std::vector<std::string> linesOf(const fs::path& file) {
    std::vector<std::string> lines;
    if (!fs::exists(file))
        return lines;
    const std::string text = readFile(file);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << file << " ends mid-line";
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// One writer's line: its name, its number, padding, and the same name again at the end, so
// that a torn or interleaved line shows.
std::string lineOf(char writer, int n) {
    return std::string(1, writer) + std::to_string(n) + std::string(300, writer) + writer + "\n";
}

bool isWhole(const std::string& line) {
    if (line.size() < 302)
        return false;
    const char writer = line.front();
    return line.back() == writer &&
           line.find_first_not_of(writer, line.size() - 301) == std::string::npos;
}

} // namespace

TEST(LogFile, MakesOwnerOnlyFolderAndFileAndRotatesKeepingOnePredecessor) {
    TempDir dir;
    const fs::path folder = dir / "state" / "quorvane-installer";
    LogFile log(folder);
    const int lines = 2 * static_cast<int>(LogFile::rotationBytes / lineOf('a', 0).size()) + 10;
    for (int i = 0; i < lines; ++i)
        log.append(lineOf('a', i));

    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(folder / "installer.log").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_LE(fs::file_size(folder / "installer.log"), LogFile::rotationBytes);
    EXPECT_LE(fs::file_size(folder / "installer.log.1"), LogFile::rotationBytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
    // The newest line is last in the current file; the predecessor ends where it begins.
    const auto current = linesOf(folder / "installer.log");
    const auto previous = linesOf(folder / "installer.log.1");
    ASSERT_FALSE(current.empty());
    ASSERT_FALSE(previous.empty());
    EXPECT_EQ(current.back() + "\n", lineOf('a', lines - 1));
    EXPECT_EQ(previous.back() + "\n", lineOf('a', lines - 1 - static_cast<int>(current.size())));
}

TEST(LogFile, TwoWritersAtOnceLeaveWholeLinesOnly) {
    TempDir dir;
    const fs::path folder = dir / "quorvane-installer";
    // Enough for rotations to happen while both write.
    const int each = static_cast<int>(LogFile::rotationBytes / lineOf('a', 0).size());
    std::vector<pid_t> writers;
    for (const char writer : {'a', 'b'}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            LogFile log(folder);
            for (int i = 0; i < each; ++i)
                log.append(lineOf(writer, i));
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::size_t seen = 0;
    for (const char* name : {"installer.log", "installer.log.1"}) {
        for (const auto& line : linesOf(folder / name)) {
            EXPECT_TRUE(isWhole(line)) << name << ": " << line.substr(0, 80);
            ++seen;
        }
        EXPECT_LE(fs::file_size(folder / name), LogFile::rotationBytes);
    }
    EXPECT_GT(seen, static_cast<std::size_t>(each));
}

TEST(LogFile, ALinkInPlaceOfTheLogOrItsFolderIsNeverFollowed) {
    TempDir dir;
    writeFile(dir / "target", "precious\n");
    const fs::path folder = dir / "quorvane-installer";
    fs::create_directory(folder);
    fs::create_symlink(dir / "target", folder / "installer.log");
    LogFile(folder).append("line\n");
    EXPECT_EQ(readFile(dir / "target"), "precious\n");

    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "linked");
    LogFile(dir / "linked").append("line\n");
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

TEST(LogFile, TheDefaultFolderFollowsAnAbsoluteXdgStateHome) {
    ::setenv("XDG_STATE_HOME", "/somewhere/state", 1);
    EXPECT_EQ(LogFile::defaultFolder(), "/somewhere/state/quorvane-installer");
    // A relative value is ignored, as the base directory rules say.
    ::setenv("XDG_STATE_HOME", "relative/state", 1);
    EXPECT_EQ(LogFile::defaultFolder().filename(), "quorvane-installer");
    EXPECT_EQ(LogFile::defaultFolder().parent_path().filename(), "state");
    EXPECT_TRUE(LogFile::defaultFolder().is_absolute());
    ::unsetenv("XDG_STATE_HOME");
}

TEST(DiagnosticLog, ChainsNameErrnoValuesAndEveryNestedError) {
    std::exception_ptr chain;
    try {
        try {
            throw std::system_error(ENOSPC, std::generic_category(), "write the tail");
        } catch (...) {
            std::throw_with_nested(std::runtime_error("download"));
        }
    } catch (...) {
        chain = std::current_exception();
    }
    EXPECT_EQ(quorvane::diagnostics::describeChain(chain),
              "  download\n  write the tail: No space left on device [ENOSPC (No space left on "
              "device)]");
    EXPECT_EQ(quorvane::diagnostics::hostOf("https://user:pw@cdn.example:8443/p?token=x#f"),
              "cdn.example");
}
