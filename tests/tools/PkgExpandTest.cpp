// pkgutil --expand-full: the layout of built and real packages, and hostile payloads crafted
// with libarchive's own cpio and xar writers, refused with nothing written outside the target.

#include "PkgFixtures.h"

#include "TempDir.h"

#include <functional>
#include <map>
#include <set>

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;
using namespace quorvane::test;
using namespace quorvane::test::pkg;

namespace {

std::uint32_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::set<std::string> names(const fs::path& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.insert(e.path().filename().string());
    return out;
}

ToolResult expand(const fs::path& pkg, const fs::path& dir) {
    return run({tool("pkgutil").string(), "--expand-full", pkg.string(), dir.string()});
}

struct Entry {
    enum Kind { File, Dir, Symlink, Hardlink, CharDevice, Fifo } kind;
    std::string path;
    std::string data;        // file contents, or the target of a link
    std::uint64_t zeros = 0; // file contents: this many zero bytes instead
};

struct ArchiveWriter {
    struct archive* a = archive_write_new();
    ~ArchiveWriter() { archive_write_free(a); }
};

// A gzip-compressed odc cpio archive, as a package's Payload holds.
std::string cpioGz(const std::vector<Entry>& entries) {
    ArchiveWriter w;
    std::string buffer(32 << 20, '\0');
    std::size_t used = 0;
    archive_write_set_format_cpio_odc(w.a);
    archive_write_add_filter_gzip(w.a);
    EXPECT_EQ(archive_write_open_memory(w.a, buffer.data(), buffer.size(), &used), ARCHIVE_OK);
    const std::string zeros(1 << 20, '\0');
    // cpio knows hard links only as entries that share an inode number.
    std::map<std::string, int> inodes;
    for (std::size_t i = 0; i < entries.size(); ++i)
        inodes[entries[i].path] = static_cast<int>(i + 1);
    std::set<std::string> linked;
    for (const auto& e : entries)
        if (e.kind == Entry::Hardlink)
            linked.insert(e.data);
    for (const auto& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path.c_str());
        archive_entry_set_ino(entry, e.kind == Entry::Hardlink ? inodes[e.data] : inodes[e.path]);
        archive_entry_set_nlink(entry, e.kind == Entry::Hardlink || linked.count(e.path) ? 2 : 1);
        archive_entry_set_size(entry, 0);
        switch (e.kind) {
        case Entry::File:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_size(entry,
                                   static_cast<la_int64_t>(e.zeros ? e.zeros : e.data.size()));
            break;
        case Entry::Dir:
            archive_entry_set_filetype(entry, AE_IFDIR);
            archive_entry_set_perm(entry, 0755);
            break;
        case Entry::Symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_perm(entry, 0755);
            archive_entry_set_symlink(entry, e.data.c_str());
            break;
        case Entry::Hardlink:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_hardlink(entry, e.data.c_str());
            break;
        case Entry::CharDevice:
            archive_entry_set_filetype(entry, AE_IFCHR);
            archive_entry_set_perm(entry, 0666);
            archive_entry_set_rdev(entry, makedev(1, 3));
            break;
        case Entry::Fifo:
            archive_entry_set_filetype(entry, AE_IFIFO);
            archive_entry_set_perm(entry, 0644);
            break;
        }
        EXPECT_EQ(archive_write_header(w.a, entry), ARCHIVE_OK) << e.path;
        if (e.kind == Entry::File) {
            for (std::uint64_t left = e.zeros; left > 0;) {
                const std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
                archive_write_data(w.a, zeros.data(), n);
                left -= n;
            }
            if (!e.data.empty())
                archive_write_data(w.a, e.data.data(), e.data.size());
        }
        archive_entry_free(entry);
    }
    EXPECT_EQ(archive_write_close(w.a), ARCHIVE_OK);
    buffer.resize(used);
    return buffer;
}

// Where the hostile entries aim: beside the target folder and one level up.
struct Scene {
    TempDir tmp;
    fs::path out = tmp / "out";  // the target's parent
    fs::path target = out / "x"; // DIR
    fs::path outside = tmp / "outside";
    Scene() {
        fs::create_directories(out);
        fs::create_directories(outside);
        writeFile(outside / "sentinel", "untouched");
    }
    void expectNothingOutside() const {
        EXPECT_FALSE(fs::exists(target)) << "the partly expanded folder stays";
        EXPECT_TRUE(names(out).empty());
        EXPECT_EQ(names(outside), std::set<std::string>{"sentinel"});
        EXPECT_EQ(readFile(outside / "sentinel"), "untouched");
        EXPECT_EQ(names(tmp.path()), (std::set<std::string>{"out", "outside", "p.pkg"}));
    }
};

struct HostileCase {
    const char* name;
    std::function<std::vector<Entry>(const fs::path& outside)> entries;
    const char* reason; // in the tool's message
};

const HostileCase hostileCases[] = {
    {"DotDotPath",
     [](const fs::path&) {
         return std::vector<Entry>{{Entry::File, "./../../../outside/evil", "x"}};
     },
     "path leaves the folder"},
    {"DotDotInsideAPath",
     [](const fs::path&) {
         return std::vector<Entry>{{Entry::Dir, "./a", ""},
                                   {Entry::File, "./a/../../../../outside/evil", "x"}};
     },
     "path leaves the folder"},
    {"AbsolutePath",
     [](const fs::path& o) {
         return std::vector<Entry>{{Entry::File, (o / "evil").string(), "x"}};
     },
     "absolute path"},
    {"LinkOutOfTheFolder",
     [](const fs::path&) {
         return std::vector<Entry>{{Entry::Symlink, "./esc", "../../../outside"}};
     },
     "link leaves the folder"},
    {"LinkOutThenWriteThroughIt",
     [](const fs::path& o) {
         return std::vector<Entry>{{Entry::Symlink, "./esc", o.string()},
                                   {Entry::File, "./esc/evil", "x"}};
     },
     "link to an absolute path"},
    {"LinkThatLeavesThroughAnotherLink",
     [](const fs::path&) {
         // Each text stays inside on its own; together they climb out.
         return std::vector<Entry>{{Entry::Symlink, "./s", "."},
                                   {Entry::Symlink, "./x", "s/../PackageInfo"}};
     },
     "link leaves the folder"},
    {"CharacterDevice",
     [](const fs::path&) {
         return std::vector<Entry>{{Entry::CharDevice, "./null", ""}};
     },
     "device, pipe or socket"},
    {"Fifo",
     [](const fs::path&) {
         return std::vector<Entry>{{Entry::Fifo, "./pipe", ""}};
     },
     "device, pipe or socket"},
    {"SameFileTwice",
     [](const fs::path&) {
         return std::vector<Entry>{{Entry::File, "./a", "one"}, {Entry::File, "a", "two"}};
     },
     "entry written twice"},
    {"OneFileBomb",
     [](const fs::path&) {
         return std::vector<Entry>{{Entry::File, "./zeros", "", 300ull << 20}};
     },
     "size limit"},
    {"ManyFilesBomb",
     [](const fs::path&) {
         std::vector<Entry> e;
         for (int i = 0; i < 3; ++i)
             e.push_back({Entry::File, "./zeros" + std::to_string(i), "", 50ull << 20});
         return e;
     },
     "size limit"},
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostilePayload : public ::testing::TestWithParam<HostileCase> {};

} // namespace

TEST_P(HostilePayload, IsRefusedWithNothingWrittenOutside) {
    Scene scene;
    xarPackage(scene.tmp / "p.pkg", cpioGz(GetParam().entries(scene.outside)));
    const ToolResult r = expand(scene.tmp / "p.pkg", scene.target);
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("pkgutil: cannot expand"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(GetParam().reason), std::string::npos) << r.output;
    scene.expectNothingOutside();
}

INSTANTIATE_TEST_SUITE_P(Expand, HostilePayload, ::testing::ValuesIn(hostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The same writers with harmless entries: the refusals above are about the entries.
TEST(Expand, LinksAndHardLinksThatStayInsideAreKept) {
    Scene scene;
    const std::string k = "./Applications/A.app/Contents/Frameworks/K.framework";
    xarPackage(scene.tmp / "p.pkg",
               cpioGz({{Entry::Dir, ".", ""},
                       {Entry::File, k + "/Versions/A/K", "binary"},
                       {Entry::Symlink, k + "/Versions/Current", "A"},
                       {Entry::Symlink, k + "/K", "Versions/Current/K"},
                       {Entry::Symlink, k + "/Versions/A/Up", "../../../../Frameworks"},
                       {Entry::Hardlink, k + "/Versions/A/K2", k + "/Versions/A/K"}}));
    const ToolResult r = expand(scene.tmp / "p.pkg", scene.target);
    ASSERT_EQ(r.status, 0) << r.output;
    const fs::path kit = scene.target / "Payload" / k;
    EXPECT_EQ(fs::read_symlink(kit / "Versions/Current"), "A");
    EXPECT_EQ(readFile(kit / "K"), "binary");
    EXPECT_EQ(readFile(kit / "Versions/A/K2"), "binary");
    EXPECT_EQ(fs::hard_link_count(kit / "Versions/A/K2"), 2u);
    EXPECT_EQ(modeOf(scene.target / "Payload/Applications"), 0755u); // never listed itself
    EXPECT_TRUE(fs::is_directory(kit / "Versions/A/Up"));
    EXPECT_EQ(names(scene.target), (std::set<std::string>{"PackageInfo", "Payload"}));
}

TEST(Expand, BuiltPackageYieldsTheAppUnderApplications) {
    TempDir dir;
    makeApp(dir / "root");
    ASSERT_EQ(buildPackage(dir / "root", dir / "app.pkg", buildSigner(dir.path(), "installer.pem")),
              0);
    const ToolResult r = expand(dir / "app.pkg", dir / "x");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(names(dir / "x"), (std::set<std::string>{"Bom", "PackageInfo", "Payload"}));
    EXPECT_EQ(readFile(dir / "x/Bom").substr(0, 8), "BOMStore");
    EXPECT_NE(readFile(dir / "x/PackageInfo").find("identifier=\"com.quorvane.pro.pkg\""),
              std::string::npos);

    const fs::path app = dir / "x/Payload/Applications/Quorvane Pro.app/Contents";
    const fs::path source = dir / "root/Quorvane Pro.app/Contents";
    EXPECT_EQ(modeOf(app / "MacOS/Quorvane Pro"), 0755u);
    EXPECT_EQ(modeOf(app / "Info.plist"), 0644u);
    EXPECT_EQ(readFile(app / "Info.plist"), readFile(source / "Info.plist"));
    const fs::path kit = app / "Frameworks/Kit.framework";
    EXPECT_EQ(readFile(kit / "Versions/A/Kit"),
              readFile(source / "Frameworks/Kit.framework/Versions/A/Kit"));
    EXPECT_EQ(fs::read_symlink(kit / "Versions/Current"), "A");
    EXPECT_EQ(fs::read_symlink(kit / "Resources"), "Versions/Current/Resources");
    EXPECT_EQ(readFile(kit / "Resources/readme.txt"), "kit\n");
}

TEST(Expand, RefusesAnExistingFolderAndATamperedMember) {
    TempDir dir;
    makeApp(dir / "root");
    ASSERT_EQ(buildPackage(dir / "root", dir / "app.pkg", std::nullopt), 0);

    fs::create_directory(dir / "existing");
    writeFile(dir / "existing/keep", "mine");
    EXPECT_NE(expand(dir / "app.pkg", dir / "existing").status, 0);
    EXPECT_EQ(readFile(dir / "existing/keep"), "mine");
    EXPECT_EQ(names(dir / "existing"), std::set<std::string>{"keep"});

    // One changed byte in the Payload (the heap's last member) breaks its archived checksum.
    std::string data = readBytes(dir / "app.pkg");
    data[data.size() - 40] ^= 0x01;
    writeBytes(dir / "tampered.pkg", data);
    const ToolResult r = expand(dir / "tampered.pkg", dir / "x");
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(fs::exists(dir / "x"));

    // The stored Payload is hashed once for both of its checksums: a table whose extracted
    // checksum alone is wrong must still be refused.
    const std::string package = readBytes(dir / "app.pkg");
    std::string toc = tocText(package);
    const std::size_t stored = toc.find("application/octet-stream");
    ASSERT_NE(stored, std::string::npos);
    const std::size_t digest = toc.find("<extracted-checksum style=\"sha256\">", stored);
    ASSERT_NE(digest, std::string::npos);
    char& first = toc[toc.find('>', digest) + 1];
    first = first == '0' ? '1' : '0';
    writeBytes(dir / "extracted.pkg", withToc(package, toc, true));
    const ToolResult e = expand(dir / "extracted.pkg", dir / "y");
    EXPECT_NE(e.status, 0);
    EXPECT_NE(e.output.find("extracted checksum"), std::string::npos) << e.output;
    EXPECT_FALSE(fs::exists(dir / "y"));
}

TEST(Expand, RealProductAndComponentPackages) {
    QUORVANE_SKIP_WITHOUT_REAL_PACKAGES();
    TempDir dir;
    ASSERT_EQ(expand(fixture("goxar-valid.pkg"), dir / "nudge").status, 0);
    EXPECT_EQ(names(dir / "nudge"),
              (std::set<std::string>{"Distribution", "Nudge_LaunchAgent-1.0.1.pkg"}));
    const fs::path component = dir / "nudge/Nudge_LaunchAgent-1.0.1.pkg";
    EXPECT_EQ(names(component),
              (std::set<std::string>{"Bom", "PackageInfo", "Payload", "Scripts"}));
    EXPECT_EQ(readFile(component / "Bom").substr(0, 8), "BOMStore");
    const fs::path plist = component / "Payload/com.github.macadmins.Nudge.plist";
    EXPECT_EQ(fs::file_size(plist), 948u);
    EXPECT_EQ(modeOf(plist), 0644u);
    EXPECT_EQ(fs::file_size(component / "Scripts/postinstall"), 2169u);
    EXPECT_EQ(modeOf(component / "Scripts/postinstall"), 0755u);

    ASSERT_EQ(expand(fixture("relic-dummy.pkg"), dir / "dummy").status, 0);
    const fs::path contents = dir / "dummy/com.sas.dummy.pkg/Payload/dummy.app/Contents";
    EXPECT_EQ(names(contents), (std::set<std::string>{"_CodeSignature", "Info.plist", "MacOS",
                                                      "PkgInfo", "Resources"}));
    EXPECT_EQ(modeOf(contents / "MacOS/dummy"), 0755u);
    EXPECT_TRUE(names(contents / "Resources").empty());
    EXPECT_TRUE(fs::exists(contents / "_CodeSignature/CodeResources"));
}
