#include "FakeTools.h"
#include "TempDir.h"
#include "base/Diagnostics.h"
#include "base/FileIo.h"
#include "install/BootstrapSystemInstaller.h"

#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using quorvane::FileDescriptor;
using quorvane::BootstrapSystemInstaller::run;
using namespace quorvane::test;

namespace {

// Records its arguments, where its output went and which descriptors it holds, then exits
// with the status given as its first argument.
constexpr std::string_view recorder = R"(here=$(dirname "$0")
printf '%s\0' "$@" > "$here/args"
outputs=$(readlink /proc/$$/fd/1 /proc/$$/fd/2)
echo "$outputs" > "$here/outputs"
for fd in /proc/$$/fd/*; do readlink "$fd"; done > "$here/fds"
exit "$1"
)";

// Keeps the diagnostic lines in memory.
class CapturedLog : public quorvane::diagnostics::LogSink {
public:
    void append(std::string_view line) noexcept override {
        const std::lock_guard lock(mutex_);
        text_ += line;
    }
    std::string text() {
        const std::lock_guard lock(mutex_);
        return text_;
    }

private:
    std::mutex mutex_;
    std::string text_;
};

} // namespace

TEST(ToolRunner, PassesEveryArgumentUnchangedAndReturnsTheStatus) {
    TempDir dir;
    writeScript(dir / "tool", recorder);
    const std::vector<std::string> tricky = {"/path/Quorvane Pro.app",
                                             "\"double\" 'single' \\back",
                                             "line\nbreak",
                                             "-R=identifier \"x\" and cdhash H\"ab\"",
                                             "--leading-dash",
                                             "",
                                             "$HOME *  ; | && `id`"};
    for (const int status : {0, 1, 7, 255}) {
        SCOPED_TRACE(status);
        std::vector<std::string> args{std::to_string(status)};
        args.insert(args.end(), tricky.begin(), tricky.end());
        EXPECT_EQ(run((dir / "tool").string(), args), status);
        EXPECT_EQ(readArguments(dir / "args"), args);
    }
}

TEST(ToolRunner, SendsOutputToTheNullDeviceAndKeepsOurDescriptorsToItself) {
    TempDir dir;
    writeScript(dir / "tool", recorder);
    // Opened without close-on-exec on purpose: the tool must still not get it.
    const FileDescriptor leaked(::open((dir / "secret").c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_TRUE(leaked);

    ASSERT_EQ(run((dir / "tool").string(), {"0"}), 0);
    // Standard error goes to a pipe whose end is kept for the diagnostic log.
    EXPECT_EQ(readFile(dir / "outputs").substr(0, 16), "/dev/null\npipe:[")
        << readFile(dir / "outputs");
    EXPECT_EQ(readFile(dir / "fds").find((dir / "secret").string()), std::string::npos)
        << readFile(dir / "fds");
}

TEST(ToolRunner, AToolThatPrintsMegabytesRunsToTheEnd) {
    TempDir dir;
    writeScript(dir / "tool", R"(head -c 16000000 /dev/zero
head -c 16000000 /dev/zero >&2
: > "$(dirname "$0")/finished"
exit 3
)");
    EXPECT_EQ(run((dir / "tool").string(), {}), 3);
    EXPECT_TRUE(fs::exists(dir / "finished"));
}

TEST(ToolRunner, TheLogGetsTheCommandItsStatusAndTheLastFourKiBOfStandardError) {
    TempDir dir;
    const auto lines = std::make_shared<CapturedLog>();
    quorvane::diagnostics::setSink(lines);
    // The tool leaves a child behind that holds standard error open: the run still ends with
    // the tool.
    writeScript(dir / "tool", R"(head -c 10000 /dev/zero | tr '\0' a >&2
echo ' the last words' >&2
echo 'not on stdout'
sleep 30 &
exit 5
)");
    EXPECT_EQ(run((dir / "tool").string(), {"--verify", "two words"}), 5);
    quorvane::diagnostics::setSink(nullptr);
    const std::string log = lines->text();
    EXPECT_NE(log.find("tool '--verify' 'two words' -> exit status 5; stderr: "), std::string::npos)
        << log;
    EXPECT_NE(log.find("aaaa the last words"), std::string::npos) << log;
    EXPECT_EQ(log.find("not on stdout"), std::string::npos);
    EXPECT_LT(log.size(), 4096u + 1024u) << "only the tail is kept";
}

TEST(ToolRunner, DeathBySignalIsANonZeroStatus) {
    TempDir dir;
    for (const int signal : {SIGKILL, SIGSEGV, SIGTERM}) {
        SCOPED_TRACE(signal);
        writeScript(dir / "tool", "ulimit -c 0\nkill -" + std::to_string(signal) + " $$\nexit 0\n");
        EXPECT_NE(run((dir / "tool").string(), {}), 0);
    }
}

TEST(ToolRunner, AToolThatCannotStartThrowsTheLaunchError) {
    TempDir dir;
    writeFile(dir / "not-executable", "#!/bin/sh\nexit 0\n");
    fs::create_directory(dir / "folder");
    writeScript(dir / "bad-interpreter", "");
    writeFile(dir / "bad-interpreter", "#!/nonexistent/sh\nexit 0\n");
    struct Case {
        fs::path tool;
        int error;
    };
    const Case cases[] = {
        {dir / "missing", ENOENT},
        {dir / "not-executable", EACCES},
        {dir / "folder", EACCES},
        {dir / "bad-interpreter", ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool);
        try {
            const int status = run(c.tool.string(), {"x"});
            ADD_FAILURE() << "returned status " << status;
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code(), std::error_code(c.error, std::generic_category()));
        }
    }
}
