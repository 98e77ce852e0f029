// Starts a program for the end-to-end tests, tied to the test: it dies with the test process.
//
//   in_home [--home DIR] [--tmp DIR] [--ns-file FILE] -- PROGRAM [ARGS...]
//
// --home runs it in a private mount namespace where DIR is bound over this user's home folder
// (the installer finds its home through the user database, not through $HOME). --tmp sets
// TMPDIR. --ns-file receives the namespace's identity, so that the test can find every process
// that was started in it. Needs root for --home.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "in_home: %s: %s\n", what, std::strerror(errno));
    std::_Exit(126);
}

void writeNamespaceIdentity(const char* file) {
    char identity[128] = {};
    const ssize_t length = ::readlink("/proc/self/ns/mnt", identity, sizeof identity - 1);
    if (length <= 0)
        fail("read the mount namespace");
    const int fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, identity, static_cast<size_t>(length)) != length || ::close(fd) != 0)
        fail("write the namespace file");
}

} // namespace

int main(int argc, char** argv) {
    const char* home = nullptr;
    const char* tmp = nullptr;
    const char* nsFile = nullptr;
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--")
            break;
        if (option == "--home")
            home = argv[i + 1];
        else if (option == "--tmp")
            tmp = argv[i + 1];
        else if (option == "--ns-file")
            nsFile = argv[i + 1];
        else
            break;
    }
    if (i >= argc || std::string_view(argv[i]) != "--" || i + 1 >= argc) {
        std::fprintf(stderr, "usage: in_home [--home DIR] [--tmp DIR] [--ns-file FILE] -- "
                             "PROGRAM [ARGS...]\n");
        return 2;
    }

    // A test that dies must not leave its servers and installers behind.
    const pid_t parent = ::getppid();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        fail("prctl");
    if (::getppid() != parent)
        return 125;

    if (home) {
        const passwd* user = ::getpwuid(::getuid());
        if (!user || !user->pw_dir)
            fail("look up the home folder");
        if (::unshare(CLONE_NEWNS) != 0)
            fail("unshare");
        // Nothing mounted here may reach the test's own namespace.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail("make / private");
        if (::mount(home, user->pw_dir, nullptr, MS_BIND | MS_REC, nullptr) != 0)
            fail("bind the home folder");
    }
    if (nsFile)
        writeNamespaceIdentity(nsFile);
    if (tmp && ::setenv("TMPDIR", tmp, 1) != 0)
        fail("setenv");

    ::execv(argv[i + 1], argv + i + 1);
    fail("exec");
}
