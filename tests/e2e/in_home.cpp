// Starts a program for the end-to-end tests, tied to the test: it dies with the test process.
//
//   in_home [--home DIR --tmp DIR --ns-file FILE --status FILE [--also PROGRAM]
//            [--user UID --umask MASK] [--read-only PATH]
//            [--bind-source FILE --bind-target FILE]] -- PROGRAM [ARGS...]
//
// Without options it only ties PROGRAM to the test. With them, PROGRAM runs in private mount
// and process namespaces: DIR is bound over this user's home folder (the installer finds its
// home through the user database, not through $HOME), TMPDIR is set, and a /proc of its own
// shows it no process of the machine outside the namespace (a product app that some other
// program left running must not count as "running" here). --also starts another program in the
// namespace first (a product that is already running). FILE receives the namespace's identity,
// so that the test can find every process started in it; --status receives PROGRAM's exit
// status when it ends. With --user, PROGRAM runs as that user id (no supplementary groups) with
// the given octal umask, and the namespace's user database knows that id as a user whose home
// folder is DIR. --read-only makes PATH (as the namespace sees it, after DIR is in place) a
// read-only mount. --bind-source is bound over --bind-target (a stand-in for one of the build's
// tools). The namespace lives on, with the apps PROGRAM opened, until this launcher is
// killed. Needs root.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "in_home: %s: %s\n", what, std::strerror(errno));
    std::_Exit(126);
}

void writeText(const char* file, std::string_view text) {
    const std::string partial = std::string(file) + ".partial";
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::close(fd) != 0 || ::rename(partial.c_str(), file) != 0)
        fail("write a result file");
}

struct Identity {
    uid_t uid = 0;
    mode_t umask = 022;
};

pid_t start(const char* program, char** argv, const Identity* as = nullptr) {
    const pid_t pid = ::fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        if (as) {
            ::umask(as->umask);
            if (::setgroups(0, nullptr) != 0 || ::setgid(as->uid) != 0 || ::setuid(as->uid) != 0)
                fail("become the test user");
        }
        ::execv(program, argv);
        fail("exec");
    }
    return pid;
}

// Pid 1 of the new namespace: sets the namespace up, runs the programs and reaps every orphan.
// The machine's user database plus one entry for the test user, bound over /etc/passwd.
void addUser(const Identity& as, const char* home, const char* nsFile) {
    std::string users;
    if (FILE* in = std::fopen("/etc/passwd", "re")) {
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
            users.append(buffer, n);
        std::fclose(in);
    }
    if (!users.empty() && users.back() != '\n')
        users += '\n';
    const std::string id = std::to_string(as.uid);
    users += "quorvane-e2e:x:" + id + ":" + id + ":end-to-end test user:" + home +
             ":/usr/sbin/nologin\n";
    const std::string file = std::string(nsFile) + ".passwd";
    writeText(file.c_str(), users);
    ::chmod(file.c_str(), 0644);
    if (::mount(file.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
        fail("bind the user database");
}

[[noreturn]] void init(const char* home, const char* nsFile, const char* statusFile,
                       const char* also, const Identity* as, const char* readOnly,
                       const char* bindSource, const char* bindTarget, char** argv) {
    // Nothing mounted here may reach the test's own namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("make / private");
    if (as) {
        addUser(*as, home, nsFile);
        if (::setenv("HOME", home, 1) != 0)
            fail("setenv");
    } else {
        const passwd* user = ::getpwuid(::getuid());
        if (!user || !user->pw_dir)
            fail("look up the home folder");
        if (::mount(home, user->pw_dir, nullptr, MS_BIND | MS_REC, nullptr) != 0)
            fail("bind the home folder");
    }
    if (readOnly &&
        (::mount(readOnly, readOnly, nullptr, MS_BIND, nullptr) != 0 ||
         ::mount(nullptr, readOnly, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0))
        fail("make a folder read-only");
    if (bindSource && ::mount(bindSource, bindTarget, nullptr, MS_BIND, nullptr) != 0)
        fail("bind the stand-in");
    // The home folder is private to the namespace; so is where its desktop data goes.
    ::unsetenv("XDG_DATA_HOME");
    if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        fail("mount /proc");
    char identity[128] = {};
    const ssize_t length = ::readlink("/proc/self/ns/mnt", identity, sizeof identity - 1);
    if (length <= 0)
        fail("read the mount namespace");
    writeText(nsFile, std::string_view(identity, static_cast<size_t>(length)));

    if (also) {
        char* alsoArgv[] = {const_cast<char*>(also), nullptr};
        const pid_t pid = start(also, alsoArgv);
        // Running (its image is the program) before the installer looks.
        const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        char target[4096];
        for (;;) {
            const ssize_t n = ::readlink(exe.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string_view(target, static_cast<size_t>(n)) == also)
                break;
            ::usleep(1000);
        }
    }
    const pid_t main = start(argv[0], argv, as);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(-1, &status, 0);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            break;
        if (done == main) {
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            writeText(statusFile, std::to_string(code));
        }
    }
    // Nothing left in the namespace: wait to be killed with it.
    for (;;)
        ::pause();
}

} // namespace

int main(int argc, char** argv) {
    const char* home = nullptr;
    const char* tmp = nullptr;
    const char* nsFile = nullptr;
    const char* statusFile = nullptr;
    const char* also = nullptr;
    const char* user = nullptr;
    const char* umask = nullptr;
    const char* readOnly = nullptr;
    const char* bindSource = nullptr;
    const char* bindTarget = nullptr;
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
        else if (option == "--status")
            statusFile = argv[i + 1];
        else if (option == "--also")
            also = argv[i + 1];
        else if (option == "--user")
            user = argv[i + 1];
        else if (option == "--umask")
            umask = argv[i + 1];
        else if (option == "--read-only")
            readOnly = argv[i + 1];
        else if (option == "--bind-source")
            bindSource = argv[i + 1];
        else if (option == "--bind-target")
            bindTarget = argv[i + 1];
        else
            break;
    }
    const bool isolated = home || tmp || nsFile || statusFile;
    if (i >= argc || std::string_view(argv[i]) != "--" || i + 1 >= argc ||
        (isolated && !(home && tmp && nsFile && statusFile)) || (!user != !umask) ||
        (!bindSource != !bindTarget) || ((user || readOnly || bindSource) && !isolated)) {
        std::fprintf(stderr, "usage: in_home [--home DIR --tmp DIR --ns-file FILE --status FILE "
                             "[--also PROGRAM] [--user UID --umask MASK] [--read-only PATH] "
                             "[--bind-source FILE --bind-target FILE]] -- PROGRAM [ARGS...]\n");
        return 2;
    }
    Identity identity;
    if (user) {
        identity.uid = static_cast<uid_t>(std::strtoul(user, nullptr, 10));
        identity.umask = static_cast<mode_t>(std::strtoul(umask, nullptr, 8));
    }

    // A test that dies must not leave its servers and installers behind.
    const pid_t parent = ::getppid();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        fail("prctl");
    if (::getppid() != parent)
        return 125;

    if (!isolated) {
        ::execv(argv[i + 1], argv + i + 1);
        fail("exec");
    }
    if (::setenv("TMPDIR", tmp, 1) != 0)
        fail("setenv");
    if (::unshare(CLONE_NEWNS | CLONE_NEWPID) != 0)
        fail("unshare");
    const pid_t namespaceInit = ::fork();
    if (namespaceInit < 0)
        fail("fork");
    if (namespaceInit == 0) {
        // Killing this launcher ends the whole namespace.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
            fail("prctl");
        init(home, nsFile, statusFile, also, user ? &identity : nullptr, readOnly, bindSource,
             bindTarget, argv + i + 1);
    }
    int status = 0;
    while (::waitpid(namespaceInit, &status, 0) < 0 && errno == EINTR) {
    }
    return 125;
}
