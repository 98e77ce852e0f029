// pkgutil --expand-full on the payload layer: exactly one gzip layer, a strict cpio reader whose
// every inflated byte is counted, hard links as bsdtar expands them, and safe modes under any
// umask. The bombs are the fuzz corpus's own seeds.

#include "PkgFixtures.h"

#include "Expand.h"
#include "Process.h"
#include "TempDir.h"
#include "TreeWriter.h"
#include "XarArchive.h"

#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

namespace fs = std::filesystem;
using namespace quorvane::test;
using namespace quorvane::test::pkg;
using quorvane::tools::ExpansionLimits;
using quorvane::tools::ExpansionStats;

extern char** environ;

namespace {

constexpr std::uint64_t MiB = 1 << 20;

// Streaming gzip, so that large runs of zeros never sit in memory.
class Gzip {
public:
    Gzip() { deflateInit2(&z_, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY); }
    ~Gzip() { deflateEnd(&z_); }
    Gzip& add(std::string_view bytes) {
        pump(bytes, Z_NO_FLUSH);
        return *this;
    }
    Gzip& zeros(std::uint64_t count) {
        const std::string block(MiB, '\0');
        for (; count > 0; count -= std::min<std::uint64_t>(count, MiB))
            add(std::string_view(block).substr(0, std::min<std::uint64_t>(count, MiB)));
        return *this;
    }
    std::string finish() {
        pump({}, Z_FINISH);
        return std::move(out_);
    }

private:
    void pump(std::string_view in, int flush) {
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z_.avail_in = static_cast<uInt>(in.size());
        char buffer[65536];
        do {
            z_.next_out = reinterpret_cast<Bytef*>(buffer);
            z_.avail_out = sizeof buffer;
            deflate(&z_, flush);
            out_.append(buffer, sizeof buffer - z_.avail_out);
        } while (z_.avail_out == 0 || (flush == Z_FINISH && z_.avail_in > 0));
    }
    z_stream z_{};
    std::string out_;
};

std::string gzip(std::string_view bytes) {
    return Gzip().add(bytes).finish();
}

// One newc ("070701") header with its name and padding; `size` and `nameSize` as declared.
std::string newcHeader(const std::string& name, std::uint32_t mode, std::uint64_t size,
                       std::uint64_t ino = 1, std::uint32_t nlink = 1,
                       std::optional<std::uint64_t> nameSize = std::nullopt,
                       const char* magic = "070701", std::uint32_t check = 0) {
    const std::uint64_t fields[] = {
        ino, mode, 0, 0, nlink, 0, size, 0, 0, 0, 0, nameSize.value_or(name.size() + 1), check};
    std::string h = magic;
    char field[9];
    for (const std::uint64_t f : fields) {
        std::snprintf(field, sizeof field, "%08llX", static_cast<unsigned long long>(f));
        h += field;
    }
    h += name;
    h += '\0';
    h.append((4 - h.size() % 4) % 4, '\0');
    return h;
}

std::string newcEntry(const std::string& name, std::uint32_t mode, const std::string& data,
                      std::uint64_t ino = 1, std::uint32_t nlink = 1) {
    std::string e = newcHeader(name, mode, data.size(), ino, nlink) + data;
    e.append((4 - data.size() % 4) % 4, '\0');
    return e;
}

const std::string trailer = newcHeader("TRAILER!!!", 0, 0);

std::string corpusSeed(const char* name) {
    // The fuzz target's first byte picks the layer; the rest is the payload.
    return readBytes(fs::path(QUORVANE_CPIO_CORPUS_DIR) / name).substr(1);
}

struct Expansion {
    std::optional<std::string> error;
    ExpansionStats stats;
};

Expansion expandInProcess(const fs::path& pkg, const fs::path& dir, const ExpansionLimits& limits) {
    Expansion e;
    try {
        const quorvane::tools::XarArchive archive(pkg);
        quorvane::tools::expandFull(archive, dir, limits, e.stats);
    } catch (const std::exception& ex) {
        e.error = ex.what();
    }
    return e;
}

struct RefusedCase {
    const char* name;
    std::function<std::string()> payload;
    const char* reason;
    std::uint64_t maxInflated; // the counter at the refusal stays at or below this
    bool gzipMember = false;
};

const ExpansionLimits testLimits{16 * MiB, 100000, 256 << 10, 1 << 20};

std::string manyLongNames(std::uint32_t mode, std::uint32_t nlink, int count = 100) {
    // 40 folders deep of 100-character names: 4 KB paths, each one kept until the end.
    std::string deep = ".";
    for (int i = 0; i < 38; ++i)
        deep += "/" + std::string(100, static_cast<char>('a' + i % 26));
    std::string cpio;
    for (int i = 0; i < count; ++i) {
        const std::string name = deep + "/entry" + std::to_string(i);
        cpio += (mode & 0170000) == 0120000 ? newcEntry(name, mode, "target", 1000 + i, nlink)
                                            : newcEntry(name, mode, "", 1000 + i, nlink);
    }
    return gzip(cpio + trailer);
}

// "./d0/d1/..." with `depth` folders.
std::string chain(const char* name, int depth) {
    std::string path = ".";
    for (int i = 0; i < depth; ++i)
        path += "/" + std::string(name) + std::to_string(i);
    return path;
}

// `count` empty files whose paths run `depth` folders deep; `alternate` spreads them over two
// chains, so that each entry walks its whole path again.
std::string deepPaths(int count, int depth, bool alternate = false) {
    std::string chains[2];
    for (int i = 0; i < depth; ++i) {
        chains[0] += "d/";
        chains[1] += "e/";
    }
    Gzip out;
    for (int i = 0; i < count; ++i)
        out.add(newcEntry("./" + chains[alternate ? i % 2 : 0] + std::to_string(i), 0100644, "",
                          static_cast<std::uint64_t>(i) + 1));
    return out.add(trailer).finish();
}

const RefusedCase refusedCases[] = {
    {"NestedGzipBomb", [] { return corpusSeed("nested-gzip-bomb"); }, "single gzip layer", MiB},
    {"HugeNameBomb", [] { return corpusSeed("huge-name-bomb"); }, "path limit", MiB},
    {"NestedGzipHarmless", [] { return gzip(gzip(newcEntry("./a", 0100644, "a") + trailer)); },
     "single gzip layer", MiB},
    {"MemberEncodingAroundGzip", [] { return gzip(newcEntry("./a", 0100644, "a") + trailer); },
     "single gzip layer", MiB, true},
    {"NotCompressed", [] { return newcEntry("./a", 0100644, "a") + trailer; }, "not a valid gzip",
     MiB},
    {"ConcatenatedGzip", [] { return gzip(newcEntry("./a", 0100644, "a")) + gzip(trailer); },
     "data after the end of the compressed payload", MiB},
    {"FolderCarryingData",
     [] { return Gzip().add(newcHeader("./d", 040755, 200 * MiB)).zeros(200 * MiB).finish(); },
     "carries no data", MiB},
    {"HugeLinkTarget",
     [] { return gzip(newcHeader("./l", 0120755, 4000 * MiB) + std::string(4096, 'x')); },
     "link target", MiB},
    {"NoTrailer", [] { return gzip(newcEntry("./a", 0100644, "a")); }, "ends early", MiB},
    {"BytesAfterTrailer", [] { return gzip(newcEntry("./a", 0100644, "a") + trailer + "x"); },
     "after the end of the cpio archive", MiB},
    {"WrongChecksum",
     [] {
         return gzip(newcHeader("./a", 0100644, 2, 1, 1, std::nullopt, "070702", 7) + "ab" +
                     std::string(2, '\0') + trailer);
     },
     "checksum", MiB},
    // Bytes never written count as well: padding after the trailer, zeros as it may be.
    {"ZeroPaddingBomb",
     [] { return Gzip().add(newcEntry("./a", 0100644, "a") + trailer).zeros(64 * MiB).finish(); },
     "size limit", 16 * MiB},
    {"FileBomb",
     [] { return Gzip().add(newcHeader("./z", 0100644, 64 * MiB)).zeros(64 * MiB).finish(); },
     "size limit", 16 * MiB},
    // What is kept per entry until the end is bounded in bytes, not only in entries.
    {"ManyLongSymlinks", [] { return manyLongNames(0120755, 1); }, "too many folders and links",
     MiB},
    {"ManyLongReadOnlyFolders", [] { return manyLongNames(040555, 1); },
     "too many folders and links", MiB},
    {"ManyUnfinishedHardLinks", [] { return manyLongNames(0100644, 2); },
     "too many folders and links", MiB},
    // Deep paths cost work in few bytes: past the depth limit at once, or past the budget of
    // path components below it.
    {"ThousandsDeepPaths", [] { return corpusSeed("deep-paths"); }, "256 levels deep", MiB},
    {"OneLevelPastTheLimit",
     [] { return gzip(newcEntry(chain("d", 256) + "/f", 0100644, "") + trailer); },
     "256 levels deep", MiB},
    {"DeepPathsPastTheWorkBudget", [] { return deepPaths(5000, 250, true); },
     "too many folders for its size", 4 * MiB},
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusedPayload : public ::testing::TestWithParam<RefusedCase> {};

} // namespace

TEST_P(RefusedPayload, IsRefusedWithTheCounterBounded) {
    TempDir dir;
    xarPackage(dir / "p.pkg", GetParam().payload(), GetParam().gzipMember);
    const Expansion e = expandInProcess(dir / "p.pkg", dir / "x", testLimits);
    ASSERT_TRUE(e.error) << "expanded";
    EXPECT_NE(e.error->find(GetParam().reason), std::string::npos) << *e.error;
    EXPECT_LE(e.stats.inflatedBytes, GetParam().maxInflated);
    EXPECT_LE(e.stats.components, testLimits.maxComponents);
    EXPECT_FALSE(fs::exists(dir / "x"));
}

INSTANTIATE_TEST_SUITE_P(Expand, RefusedPayload, ::testing::ValuesIn(refusedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Expand, InflatedCounterStopsExactlyAtTheBudget) {
    // Zero padding after the trailer: nothing declares its size, nothing is written.
    TempDir dir;
    xarPackage(dir / "p.pkg",
               Gzip().add(newcEntry("./a", 0100644, "a") + trailer).zeros(64 * MiB).finish());
    const Expansion e = expandInProcess(dir / "p.pkg", dir / "x", testLimits);
    ASSERT_TRUE(e.error);
    EXPECT_EQ(e.stats.inflatedBytes, testLimits.maxBytes);

    // The same counter on an accepted payload: every byte of the cpio stream, headers and
    // padding included, plus the PackageInfo member.
    const std::string cpio = newcEntry("./a", 0100644, std::string(1000, 'a')) + trailer;
    xarPackage(dir / "q.pkg", gzip(cpio));
    const Expansion ok = expandInProcess(dir / "q.pkg", dir / "y", testLimits);
    ASSERT_FALSE(ok.error) << *ok.error;
    EXPECT_EQ(ok.stats.inflatedBytes, cpio.size() + readFile(dir / "y/PackageInfo").size());
    EXPECT_EQ(readFile(dir / "y/Payload/a"), std::string(1000, 'a'));
}

namespace {

// Runs argv with standard input from `input`; returns the exit status.
int runWithInput(const std::vector<std::string>& argv, const fs::path& input,
                 const fs::path& workingDir) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every name below `root`: its kind, its content, and which names share its inode.
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> out;
    std::map<ino_t, std::string> firstName;
    std::vector<fs::path> all;
    for (const auto& e : fs::recursive_directory_iterator(root))
        all.push_back(e.path());
    std::sort(all.begin(), all.end());
    for (const auto& p : all) {
        struct stat st {};
        ::lstat(p.c_str(), &st);
        const std::string rel = fs::relative(p, root).string();
        std::string desc = std::to_string(st.st_mode & 07777) + " ";
        if (S_ISDIR(st.st_mode)) {
            desc += "dir";
        } else if (S_ISLNK(st.st_mode)) {
            desc += "link " + fs::read_symlink(p).string();
        } else {
            const auto [it, fresh] = firstName.emplace(st.st_ino, rel);
            desc += "file " + readFile(p) + " same-as " + it->second;
        }
        out[rel] = desc;
    }
    return out;
}

struct LinkWriter {
    const char* name;
    std::vector<std::string> argv; // writes the cpio archive to standard output
    bool compress;                 // whether the tool's output still needs gzip
};

const LinkWriter linkWriters[] = {
    {"GnuCpioNewc", {"cpio", "-o", "--quiet", "-H", "newc", "-O", "../payload"}, true},
    {"GnuCpioOdc", {"cpio", "-o", "--quiet", "-H", "odc", "-O", "../payload"}, true},
    {"BsdtarNewc",
     {"bsdtar", "-c", "-n", "-z", "--format", "newc", "-f", "../payload", "-T", "-"},
     false},
    {"BsdtarOdc",
     {"bsdtar", "-c", "-n", "-z", "--format", "odc", "-f", "../payload", "-T", "-"},
     false},
};

void PrintTo(const LinkWriter& w, std::ostream* os) {
    *os << w.name;
}

class HardLinks : public ::testing::TestWithParam<LinkWriter> {};

} // namespace

TEST_P(HardLinks, ExpandLikeBsdtarWithContentOnEveryName) {
    TempDir dir;
    const fs::path src = dir / "src";
    fs::create_directories(src / "Contents/MacOS");
    fs::create_directories(src / "Contents/Other");
    std::string big;
    for (int i = 0; big.size() < 300000; ++i)
        big += "line " + std::to_string(i) + "\n";
    writeFile(src / "Contents/MacOS/tool", big);
    fs::create_hard_link(src / "Contents/MacOS/tool", src / "Contents/MacOS/tool2");
    fs::create_hard_link(src / "Contents/MacOS/tool", src / "Contents/Other/tool3");
    writeFile(src / "Contents/a", "alpha\n");
    fs::create_hard_link(src / "Contents/a", src / "Contents/b");
    writeFile(src / "Contents/lone", "lone\n");
    fs::create_symlink("MacOS/tool", src / "Contents/current");
    const char* names[] = {".",
                           "./Contents",
                           "./Contents/MacOS",
                           "./Contents/MacOS/tool",
                           "./Contents/MacOS/tool2",
                           "./Contents/Other",
                           "./Contents/Other/tool3",
                           "./Contents/a",
                           "./Contents/b",
                           "./Contents/lone",
                           "./Contents/current"};
    std::string list;
    for (const char* n : names)
        list += std::string(n) + "\n";
    writeFile(dir / "names", list);
    ASSERT_EQ(runWithInput(GetParam().argv, dir / "names", src), 0);
    std::string payload = readBytes(dir / "payload");
    if (GetParam().compress)
        payload = gzip(payload);
    writeBytes(dir / "payload.gz", payload);

    xarPackage(dir / "p.pkg", payload);
    const ToolResult r = run({tool("pkgutil").string(), "--expand-full", (dir / "p.pkg").string(),
                              (dir / "x").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    fs::create_directory(dir / "ref");
    ASSERT_EQ(runCommand({"bsdtar", "-x", "-f", (dir / "payload.gz").string(), "-C",
                          (dir / "ref").string()}),
              0);
    const auto expanded = treeOf(dir / "x/Payload");
    EXPECT_EQ(expanded, treeOf(dir / "ref"));
    EXPECT_EQ(readFile(dir / "x/Payload/Contents/Other/tool3"), big);
    EXPECT_EQ(readFile(dir / "x/Payload/Contents/b"), "alpha\n");
    EXPECT_EQ(fs::hard_link_count(dir / "x/Payload/Contents/MacOS/tool"), 3u);
}

INSTANTIATE_TEST_SUITE_P(Expand, HardLinks, ::testing::ValuesIn(linkWriters),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Expand, HardLinkDataThroughALinkedFolderIsRefused) {
    // The second name's data would be written through a symbolic link to a folder.
    TempDir dir;
    xarPackage(dir / "p.pkg",
               gzip(newcEntry("./sub", 040755, "") + newcEntry("./d", 0120755, "sub") +
                    newcEntry("./sub/f", 0100644, "", 7, 2) +
                    newcEntry("./d/g", 0100644, "data", 7, 2) + trailer));
    const ToolResult r = run({tool("pkgutil").string(), "--expand-full", (dir / "p.pkg").string(),
                              (dir / "x").string()});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("runs through a link"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "x"));
}

namespace {

// Runs pkgutil --expand-full with umask 0277 and, when the tests run as root, as "nobody", so
// that folders without the owner's write access really stop it. Returns the exit status.
int expandAsUserWithUmask(const fs::path& dir, const fs::path& pkg, const fs::path& target) {
    const bool root = ::geteuid() == 0;
    if (root && ::chown(dir.c_str(), 65534, 65534) != 0)
        return -1;
    const std::string pkgutil = tool("pkgutil").string();
    const std::string log = (dir / "log").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::umask(0277);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd >= 0)
            ::dup2(fd, 2);
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(126);
        ::execl(pkgutil.c_str(), pkgutil.c_str(), "--expand-full", pkg.c_str(), target.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Expand, ModesLoseGroupOtherWriteAndSetIdUnderARestrictiveUmask) {
    TempDir dir;
    // A read-only file whose second name brings new data: written although read-only.
    xarPackage(dir / "p.pkg",
               gzip(newcEntry(".", 040777, "") + newcEntry("./open", 040777, "") +
                    newcEntry("./open/setuid", 0106777, "#!/bin/sh\n") +
                    newcEntry("./open/shared", 0100666, "x") + newcEntry("./sealed", 040555, "") +
                    newcEntry("./sealed/inner/file", 0100444, "y") +
                    newcEntry("./sealed/inner/ro", 0100444, "first", 9, 2) +
                    newcEntry("./open/ro2", 0100444, "second", 9, 2) +
                    newcEntry("./sticky", 041777, "") + trailer));
    ASSERT_EQ(expandAsUserWithUmask(dir.path(), dir / "p.pkg", dir / "x"), 0)
        << readFile(dir / "log");
    const std::pair<const char*, unsigned> expected[] = {{"", 0755},
                                                         {"Payload", 0755},
                                                         {"Payload/open", 0755},
                                                         {"Payload/open/setuid", 0755},
                                                         {"Payload/open/shared", 0644},
                                                         {"Payload/open/ro2", 0444},
                                                         {"Payload/sealed", 0555},
                                                         {"Payload/sealed/inner", 0755},
                                                         {"Payload/sealed/inner/file", 0444},
                                                         {"Payload/sticky", 0755},
                                                         {"PackageInfo", 0644}};
    for (const auto& [path, mode] : expected) {
        struct stat st {};
        ASSERT_EQ(::lstat((dir / "x" / path).c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 07777, mode) << path;
    }
    EXPECT_EQ(readFile(dir / "x/Payload/sealed/inner/file"), "y");
    EXPECT_EQ(readFile(dir / "x/Payload/sealed/inner/ro"), "second");
}

TEST(Expand, HostilePayloadsStayUnder32MiBResident) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "resident size means nothing under the sanitizers";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "resident size means nothing under the sanitizers";
#endif
#endif
    TempDir dir;
    const std::pair<const char*, std::string> bombs[] = {
        {"nested", corpusSeed("nested-gzip-bomb")},
        {"name", corpusSeed("huge-name-bomb")},
        {"links", manyLongNames(0120755, 1, 5000)},
    };
    for (const auto& [name, payload] : bombs) {
        const fs::path pkg = dir / (std::string(name) + ".pkg");
        xarPackage(pkg, payload);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string pkgutil = tool("pkgutil").string();
            const std::string target = (dir / name).string();
            ::execl(pkgutil.c_str(), pkgutil.c_str(), "--expand-full", pkg.c_str(), target.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        struct rusage usage {};
        ASSERT_EQ(::wait4(pid, &status, 0, &usage), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << name;
        EXPECT_LT(usage.ru_maxrss, 32 * 1024) << name << ": peak resident KiB";
    }
}

namespace {

const std::string pkgutil = tool("pkgutil").string();

// pkgutil --expand-full in a child whose descriptor limit is 64.
ToolResult expandWithDescriptorLimit(const fs::path& pkg, const fs::path& target,
                                     const fs::path& log) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const rlimit low{64, 64};
        if (fd < 0 || ::dup2(fd, 2) < 0 || ::setrlimit(RLIMIT_NOFILE, &low) != 0)
            ::_exit(126);
        ::execl(pkgutil.c_str(), pkgutil.c_str(), "--expand-full", pkg.c_str(), target.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(log)};
}

} // namespace

// What the installer verifies before the expansion does not bound it: a signed package of
// thousands of deep entries is refused by the depth limit or the work budget, quickly, and
// leaves nothing behind.
TEST(Expand, SignedPackagesOfManyDeepEntriesAreRefused) {
    TempDir dir;
    const std::pair<std::string, const char*> shapes[] = {
        {deepPaths(4000, 2040), "256 levels deep"},
        {deepPaths(4000, 250, true), "too many folders for its size"},
    };
    for (const auto& [payload, reason] : shapes) {
        signedPackage(dir / "p.pkg", payload, buildSigner(dir.path(), "installer.pem"));
        EXPECT_TRUE(
            installerAccepts(run({pkgutil, "--check-signature", (dir / "p.pkg").string()})));
        const ToolResult r =
            run({pkgutil, "--expand-full", (dir / "p.pkg").string(), (dir / "x").string()});
        EXPECT_EQ(r.status, 1) << reason;
        EXPECT_NE(r.output.find(reason), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(dir / "x"));
    }
}

// Paths up to the limit expand as bsdtar expands them, whichever way the entries climb and
// descend: the folders kept open are never mistaken for others.
TEST(Expand, DeepPathsUpToTheLimitExpandLikeBsdtar) {
    TempDir dir;
    const std::string deep = chain("d", 255); // and a file: 256 components
    const std::string mid = chain("d", 100);
    const std::string payload =
        gzip(newcEntry(deep + "/f", 0100644, "bottom") + newcEntry("./x", 0100644, "x", 7, 2) +
             newcEntry(mid + "/ro", 040555, "") + newcEntry(mid + "/ro/g", 0100444, "g") +
             newcEntry(chain("d", 200) + "/hard", 0100644, "x", 7, 2) +
             newcEntry(chain("d", 1) + "/up", 0120777, "d1/d2") +
             newcEntry(chain("e", 30) + "/side", 0100644, "side") + trailer);
    writeBytes(dir / "payload.gz", payload);
    xarPackage(dir / "p.pkg", payload);
    const ToolResult r =
        run({pkgutil, "--expand-full", (dir / "p.pkg").string(), (dir / "x").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    fs::create_directory(dir / "ref");
    ASSERT_EQ(runCommand({"bsdtar", "-x", "-f", (dir / "payload.gz").string(), "-C",
                          (dir / "ref").string()}),
              0);
    EXPECT_EQ(treeOf(dir / "x/Payload"), treeOf(dir / "ref"));
    EXPECT_EQ(readFile(dir / "x/Payload" / (deep + "/f")), "bottom");
    EXPECT_EQ(fs::hard_link_count(dir / "x/Payload/x"), 2u);
}

// A failed expansion of a tree far deeper than its descriptors leaves nothing behind.
TEST(Expand, AFailedDeepExpansionUnderALowDescriptorLimitLeavesNoTree) {
    TempDir dir;
    xarPackage(dir / "p.pkg", gzip(newcEntry(chain("d", 250) + "/f", 0100644, "deep") +
                                   newcEntry("./../evil", 0100644, "x") + trailer));
    const ToolResult r = expandWithDescriptorLimit(dir / "p.pkg", dir / "x", dir / "log");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("path leaves the folder"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "x"));
}
