#include "CodesignBundles.h"
#include "OpenSslHandles.h"
#include "Process.h"
#include "TempDir.h"

#include <quorvane/BuildConfig.h>

#include <cctype>
#include <functional>

#include <cstdint>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace quorvane::test;
using quorvane::tools::BioPtr;
using quorvane::tools::EvpPkeyPtr;
using quorvane::tools::X509Ptr;

namespace {

constexpr int valid = 0;
constexpr int invalid = 1;
constexpr int syntaxError = 2;
constexpr int unmet = 3;

// A bundle tree copied as it is: links stay links.
void copyTree(const fs::path& from, const fs::path& to) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

void flipFirstByte(const fs::path& file) {
    std::string bytes = readFile(file);
    bytes.at(0) = static_cast<char>(bytes.at(0) ^ 0x01);
    writeFile(file, bytes);
}

void addMode(const fs::path& item, fs::perms bits) {
    fs::permissions(item, bits, fs::perm_options::add | fs::perm_options::nofollow);
}

// A file of 8 TiB that takes no space: hashing it would take hours.
void plantSparseFile(const fs::path& file) {
    fs::remove(file);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + file.string());
    const int result = ::ftruncate(fd, std::int64_t{8} << 40);
    ::close(fd);
    if (result != 0)
        throw std::runtime_error("cannot grow " + file.string());
}

// A POSIX access list (the kernel's xattr form) that gives user 12345 write access: its mask
// shows as group write in the mode.
std::string accessListGivingAnotherUserWrite() {
    std::string acl;
    const auto put = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            acl += static_cast<char>((value >> (8 * i)) & 0xff);
    };
    put(2, 4); // version
    const struct {
        std::uint16_t tag, perm;
        std::uint32_t id;
    } entries[] = {{0x01, 6, UINT32_MAX},
                   {0x02, 6, 12345},
                   {0x04, 4, UINT32_MAX},
                   {0x10, 6, UINT32_MAX},
                   {0x20, 4, UINT32_MAX}};
    for (const auto& e : entries) {
        put(e.tag, 2);
        put(e.perm, 2);
        put(e.id, 4);
    }
    return acl;
}

class Codesign : public ::testing::Test {
protected:
    TempDir dir;
    fs::path app = dir / "Quorvane Pro.app";
    void SetUp() override { makeSignedApp(app); }
};

TEST_F(Codesign, SignedAppMeetsTheInstallersRequirement) {
    const std::string cdhash = bundleCdHash(app);
    ASSERT_EQ(cdhash.size(), 40u);
    for (char c : cdhash)
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c)) && !std::isupper(c)) << cdhash;

    std::string output;
    EXPECT_EQ(verifyBundle(app, installerRequirement(cdhash), {"--deep", "--strict"}, &output),
              valid)
        << output;
    EXPECT_EQ(verifyBundle(app, installerRequirement(std::nullopt)), valid);
    // Hashes are compared, not spellings.
    std::string upper = cdhash;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(verifyBundle(app, installerRequirement(upper)), valid);

    // The same tree signed again names the same state: the pinned cdhash does not drift.
    ASSERT_EQ(
        signBundle(app, SigningFiles::application(), quorvane::config::productBundleIdentifier), 0);
    EXPECT_EQ(bundleCdHash(app), cdhash);
}

struct Tampering {
    const char* name;
    // Changes the bundle copy and returns the path to verify.
    std::function<fs::path(const fs::path& app, const fs::path& scratch)> tamper;
    std::vector<std::string> flags;
    int expected;
};

const fs::path contents = "Contents";

fs::path resign(const fs::path& app) {
    std::string output;
    if (signBundle(app, SigningFiles::application(), quorvane::config::productBundleIdentifier,
                   &output) != 0)
        throw std::runtime_error(output);
    return app;
}

const std::vector<std::string> deepStrict{"--deep", "--strict"};

const Tampering tamperings[] = {
    {"untouched copy", [](const fs::path& app, const fs::path&) { return app; }, deepStrict, valid},
    {"file added",
     [](const fs::path& app, const fs::path&) {
         writeFile(app / contents / "Resources" / "extra.txt", "extra");
         return app;
     },
     deepStrict, invalid},
    {"file removed",
     [](const fs::path& app, const fs::path&) {
         fs::remove(app / contents / "Resources" / "data.txt");
         return app;
     },
     deepStrict, invalid},
    {"byte of the executable changed",
     [](const fs::path& app, const fs::path&) {
         flipFirstByte(app / contents / "MacOS" / "Quorvane Pro");
         return app;
     },
     deepStrict, invalid},
    {"Info.plist edited",
     [](const fs::path& app, const fs::path&) {
         const fs::path plist = app / contents / "Info.plist";
         std::string text = readFile(plist);
         text.replace(text.find("<string>42.1</string>"), 21, "<string>42.2</string>");
         writeFile(plist, text);
         return app;
     },
     deepStrict, invalid},
    {"executable bit dropped",
     [](const fs::path& app, const fs::path&) {
         fs::permissions(app / contents / "MacOS" / "Quorvane Pro",
                         fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                         fs::perm_options::remove);
         return app;
     },
     deepStrict, invalid},
    {"file replaced by a link to the same bytes",
     [](const fs::path& app, const fs::path& scratch) {
         const fs::path data = app / contents / "Resources" / "data.txt";
         fs::copy_file(data, scratch / "data.txt");
         fs::remove(data);
         fs::create_symlink(scratch / "data.txt", data);
         return app;
     },
     deepStrict, invalid},
    {"link retargeted",
     [](const fs::path& app, const fs::path&) {
         const fs::path link = app / contents / "Frameworks" / "Helper.framework" / "Helper";
         fs::remove(link);
         fs::create_symlink("Versions/A/Helper", link);
         return app;
     },
     deepStrict, invalid},
    {"item added to the signature folder",
     [](const fs::path& app, const fs::path&) {
         writeFile(app / contents / "_CodeSignature" / "CodeResources", "");
         return app;
     },
     deepStrict, invalid},
    {"code directory edited",
     [](const fs::path& app, const fs::path&) {
         const fs::path cd = app / contents / "_CodeSignature" / "CodeDirectory";
         std::string text = readFile(cd);
         text.replace(text.find("com.quorvane."), 13, "com.quorvanf.");
         writeFile(cd, text);
         return app;
     },
     deepStrict, invalid},
    {"signature taken from another signed bundle",
     [](const fs::path& app, const fs::path& scratch) {
         const fs::path other = scratch / "Other.app";
         makeSignedApp(other);
         writeFile(other / contents / "Resources" / "data.txt", "other data\n");
         resign(other);
         fs::copy_file(other / contents / "_CodeSignature" / "CodeSignature",
                       app / contents / "_CodeSignature" / "CodeSignature",
                       fs::copy_options::overwrite_existing);
         return app;
     },
     deepStrict, invalid},
    {"FIFO planted",
     [](const fs::path& app, const fs::path&) {
         ::mkfifo((app / contents / "Resources" / "pipe").c_str(), 0644);
         return app;
     },
     deepStrict, invalid},
    {"nested framework file changed, with --deep",
     [](const fs::path& app, const fs::path&) {
         flipFirstByte(frameworkCode(app) / "Helper");
         return app;
     },
     deepStrict, invalid},
    // Without --deep nested code is held to its recorded cdhash only, as documented.
    {"nested framework file changed, without --deep",
     [](const fs::path& app, const fs::path&) {
         flipFirstByte(frameworkCode(app) / "Helper");
         return app;
     },
     {"--strict"},
     valid},
    {"nested framework re-signed after a change, without --deep",
     [](const fs::path& app, const fs::path&) {
         flipFirstByte(frameworkCode(app) / "Helper");
         signBundle(frameworkCode(app), SigningFiles::application(), "com.quorvane.helper");
         return app;
     },
     {"--strict"},
     invalid},
    {"bundle path is a symbolic link, strict",
     [](const fs::path& app, const fs::path& scratch) {
         fs::create_directory_symlink(app, scratch / "Linked.app");
         return scratch / "Linked.app";
     },
     deepStrict, invalid},
    {"bundle path is a symbolic link with a trailing slash, strict",
     [](const fs::path& app, const fs::path& scratch) {
         fs::create_directory_symlink(app, scratch / "Linked.app");
         return fs::path((scratch / "Linked.app").string() + "/");
     },
     deepStrict, invalid},
    {"bundle path is a symbolic link, not strict",
     [](const fs::path& app, const fs::path& scratch) {
         fs::create_directory_symlink(app, scratch / "Linked.app");
         return scratch / "Linked.app";
     },
     {"--deep"},
     valid},
    {"signed link out of the bundle, strict",
     [](const fs::path& app, const fs::path&) {
         fs::create_symlink("../../../outside", app / contents / "Resources" / "escape");
         return resign(app);
     },
     deepStrict, invalid},
    {"signed link out of the bundle, not strict",
     [](const fs::path& app, const fs::path&) {
         fs::create_symlink("../../../outside", app / contents / "Resources" / "escape");
         return resign(app);
     },
     {"--deep"},
     valid},
    {"signed absolute link",
     [](const fs::path& app, const fs::path&) {
         fs::create_symlink("/etc/passwd", app / contents / "Resources" / "escape");
         return resign(app);
     },
     deepStrict, invalid},
    // Another local user able to write into the bundle could change it after the check.
    {"world-writable folder",
     [](const fs::path& app, const fs::path&) {
         addMode(app / contents / "Resources", fs::perms::others_write);
         return app;
     },
     deepStrict, invalid},
    {"world-writable file",
     [](const fs::path& app, const fs::path&) {
         addMode(app / contents / "Resources" / "data.txt", fs::perms::others_write);
         return app;
     },
     deepStrict, invalid},
    {"world-writable bundle folder",
     [](const fs::path& app, const fs::path&) {
         addMode(app, fs::perms::others_write);
         return app;
     },
     deepStrict, invalid},
    {"world-writable code directory",
     [](const fs::path& app, const fs::path&) {
         addMode(app / contents / "_CodeSignature" / "CodeDirectory", fs::perms::others_write);
         return app;
     },
     deepStrict, invalid},
    {"world-writable folder inside nested code",
     [](const fs::path& app, const fs::path&) {
         addMode(frameworkCode(app), fs::perms::others_write);
         return app;
     },
     deepStrict, invalid},
    {"setuid executable",
     [](const fs::path& app, const fs::path&) {
         addMode(app / contents / "MacOS" / "Quorvane Pro", fs::perms::set_uid);
         return app;
     },
     deepStrict, invalid},
    {"setgid file",
     [](const fs::path& app, const fs::path&) {
         addMode(app / contents / "Resources" / "data.txt", fs::perms::set_gid);
         return app;
     },
     deepStrict, invalid},
    {"world-writable folder, not strict",
     [](const fs::path& app, const fs::path&) {
         addMode(app / contents / "Resources", fs::perms::others_write);
         return app;
     },
     {"--deep"},
     valid},
    // What a copy made by hand under umask 002 (user-private groups) looks like.
    {"group-writable folders and files",
     [](const fs::path& app, const fs::path&) {
         addMode(app, fs::perms::group_write);
         for (const auto& item : fs::recursive_directory_iterator(app))
             if (!item.is_symlink())
                 addMode(item.path(), fs::perms::group_write);
         return app;
     },
     deepStrict, valid},
    // Extended attributes are not part of the signature: SELinux labels (security.*) and
    // access lists (system.posix_acl_*) in particular must not change the verdict.
    {"extended attributes and an access list",
     [](const fs::path& app, const fs::path&) {
         const fs::path data = app / contents / "Resources" / "data.txt";
         const std::string acl = accessListGivingAnotherUserWrite();
         const struct {
             const char* name;
             std::string value;
         } attributes[] = {{"security.selinux", "unconfined_u:object_r:user_home_t:s0"},
                           {"user.note", "anything"},
                           {"system.posix_acl_access", acl}};
         for (const auto& a : attributes)
             if (::setxattr(data.c_str(), a.name, a.value.data(), a.value.size(), 0) != 0 &&
                 errno != ENOTSUP)
                 throw std::runtime_error(std::string("setxattr ") + a.name);
         return app;
     },
     deepStrict, valid},
    // Sizes are compared before anything is hashed: these finish at once instead of reading
    // 8 TiB (a regression shows as the suite's timeout).
    {"8 TiB sparse file in place of a listed one",
     [](const fs::path& app, const fs::path&) {
         plantSparseFile(app / contents / "Resources" / "data.txt");
         return app;
     },
     deepStrict, invalid},
    {"8 TiB sparse file in place of a listed one, not strict",
     [](const fs::path& app, const fs::path&) {
         plantSparseFile(app / contents / "Resources" / "data.txt");
         return app;
     },
     {"--deep"},
     invalid},
    {"8 TiB sparse file added",
     [](const fs::path& app, const fs::path&) {
         plantSparseFile(app / contents / "Resources" / "huge.bin");
         return app;
     },
     deepStrict, invalid},
    {"8 TiB sparse file added, not strict (not covered, not read)",
     [](const fs::path& app, const fs::path&) {
         plantSparseFile(app / contents / "Resources" / "huge.bin");
         return app;
     },
     {"--deep"},
     valid},
    // Lexically up/../../.. stays inside; through the link `up` it leaves the bundle.
    {"signed link that leaves through another link",
     [](const fs::path& app, const fs::path&) {
         fs::create_symlink("..", app / contents / "Resources" / "up");
         fs::create_symlink("up/../../..", app / contents / "Resources" / "escape");
         return resign(app);
     },
     deepStrict, invalid},
};

TEST_F(Codesign, TamperedBundlesAreRefused) {
    const std::string requirement = installerRequirement(std::nullopt);
    for (const auto& c : tamperings) {
        TempDir scratch;
        const fs::path copy = scratch / "Quorvane Pro.app";
        copyTree(app, copy);
        const fs::path target = c.tamper(copy, scratch.path());
        std::string output;
        EXPECT_EQ(verifyBundle(target, requirement, c.flags, &output), c.expected)
            << c.name << ": " << output;
    }
}

// A leaf certificate made here, issued by `issuer`, for the cases the build authority lacks.
struct LeafShape {
    std::string team;
    long validFromDays; // relative to now
    long validToDays;
};

void issueLeaf(const fs::path& issuerCert, const fs::path& issuerKey, const LeafShape& shape,
               const fs::path& keyOut, const fs::path& certOut) {
    EvpPkeyPtr key(EVP_EC_gen("P-256"));
    ASSERT_TRUE(key);
    const std::string issuerPem = readFile(issuerCert);
    const std::string issuerKeyPem = readFile(issuerKey);
    BioPtr certBio(BIO_new_mem_buf(issuerPem.data(), static_cast<int>(issuerPem.size())));
    BioPtr keyBio(BIO_new_mem_buf(issuerKeyPem.data(), static_cast<int>(issuerKeyPem.size())));
    X509Ptr ca(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    EvpPkeyPtr caKey(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(ca && caKey);

    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 4242);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), shape.validFromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), shape.validToDays * 86400);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    const std::string cn = "Developer ID Application: Someone (" + shape.team + ")";
    for (const auto& [field, value] : {std::pair<const char*, std::string>{"UID", shape.team},
                                       {"CN", cn},
                                       {"OU", shape.team},
                                       {"O", "Someone"},
                                       {"C", "US"}})
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get()));
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, ca.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [extension, value] :
         {std::pair<const char*, const char*>{"basicConstraints", "critical,CA:FALSE"},
          {"keyUsage", "critical,digitalSignature"},
          {"extendedKeyUsage", "critical,codeSigning"},
          {"1.2.840.113635.100.6.1.13", "critical,DER:05:00"},
          {"subjectKeyIdentifier", "hash"},
          {"authorityKeyIdentifier", "keyid"}}) {
        X509_EXTENSION* ext = X509V3_EXT_nconf(nullptr, &ctx, extension, value);
        ASSERT_TRUE(ext) << extension;
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    ASSERT_GT(X509_sign(cert.get(), caKey.get(), EVP_sha256()), 0);

    BioPtr keyFile(BIO_new_file(keyOut.c_str(), "w"));
    BioPtr certFile(BIO_new_file(certOut.c_str(), "w"));
    ASSERT_TRUE(keyFile && certFile);
    PEM_write_bio_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_X509(certFile.get(), cert.get());
}

TEST_F(Codesign, SignersOtherThanThePinnedDeveloperAreRefused) {
    TempDir keys;
    const auto issue = [&](const char* name, const fs::path& issuer, const fs::path& issuerKey,
                           const LeafShape& shape) {
        SigningFiles files{keys / (std::string(name) + ".key"), keys / (std::string(name) + ".pem"),
                           authorityFile("chain.pem")};
        issueLeaf(issuer, issuerKey, shape, files.key, files.cert);
        return files;
    };
    const std::string team(quorvane::config::pinnedTeamIdentifier);
    const fs::path ca = authorityFile("devid-ca.pem"), caKey = authorityFile("devid-ca.key");
    makeAuthority(keys / "foreign");

    struct Case {
        const char* name;
        SigningFiles identity;
        int expected;
    };
    const Case cases[] = {
        {"a fresh leaf of the pinned team (control)", issue("fresh", ca, caKey, {team, -1, 30}),
         valid},
        {"an expired leaf", issue("expired", ca, caKey, {team, -30, -1}), invalid},
        {"another team", issue("other", ca, caKey, {"ZZ9ZZ9ZZ9Z", -1, 30}), unmet},
        // Trusted, but not through the platform's Developer ID intermediate.
        {"a leaf issued by the root itself",
         issue("rooted", authorityFile("root.pem"), authorityFile("root.key"), {team, -1, 30}),
         unmet},
        {"the installer certificate",
         {authorityFile("installer.key"), authorityFile("installer.pem"),
          authorityFile("chain.pem")},
         invalid},
        {"a look-alike authority with an unknown root",
         {keys / "foreign" / "application.key", keys / "foreign" / "application.pem",
          keys / "foreign" / "chain.pem"},
         invalid},
    };
    for (const auto& c : cases) {
        TempDir scratch;
        const fs::path copy = scratch / "Quorvane Pro.app";
        std::string output;
        ASSERT_NO_THROW(makeSignedApp(copy, c.identity)) << c.name;
        EXPECT_EQ(verifyBundle(copy, installerRequirement(bundleCdHash(copy)), deepStrict, &output),
                  c.expected)
            << c.name << ": " << output;
    }
}

TEST_F(Codesign, EachRequirementClauseIsCheckedOnItsOwn) {
    const std::string cdhash = bundleCdHash(app);
    std::string other = cdhash;
    other[0] = other[0] == '0' ? '1' : '0';
    const std::string id(quorvane::config::productBundleIdentifier);
    const std::string team(quorvane::config::pinnedTeamIdentifier);
    struct Clause {
        std::string holds, fails;
    };
    const Clause clauses[] = {
        {"identifier \"" + id + "\"", "identifier \"" + id + ".other\""},
        {"anchor apple generic", ""}, // refused with a leaf off the platform chain, above
        {"certificate leaf[subject.OU] = \"" + team + "\"",
         "certificate leaf[subject.OU] = \"" + team.substr(0, 9) + "\""},
        {"certificate leaf[field.1.2.840.113635.100.6.1.13] exists",
         "certificate leaf[field.1.2.840.113635.100.6.1.14] exists"},
        {"cdhash H\"" + cdhash + "\"", "cdhash H\"" + other + "\""},
    };
    for (const auto& clause : clauses) {
        std::string output;
        EXPECT_EQ(verifyBundle(app, clause.holds, deepStrict, &output), valid) << output;
        if (clause.fails.empty())
            continue;
        // Every other clause holds; this one alone decides.
        std::string requirement;
        for (const auto& each : clauses)
            requirement += (requirement.empty() ? "" : " and ") +
                           (&each == &clause ? clause.fails : each.holds);
        output.clear();
        EXPECT_EQ(verifyBundle(app, requirement, deepStrict, &output), unmet) << requirement;
        EXPECT_NE(output.find(clause.fails), std::string::npos) << output;
    }
}

// Another build's cdhash is told from the signed code directory alone: the check ends with the
// unmet requirement before it reads a file, so a changed file is never reached.
TEST_F(Codesign, AnUnmetRequirementIsFoundBeforeAnyFileIsRead) {
    TempDir scratch;
    const fs::path copy = scratch / "Quorvane Pro.app";
    fs::copy(app, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    std::string other = bundleCdHash(copy);
    other[0] = other[0] == '0' ? '1' : '0';
    const fs::path executable = copy / "Contents/MacOS/Quorvane Pro";
    std::string bytes = readFile(executable);
    bytes[bytes.size() / 2] ^= 1; // same size: only hashing would find it
    writeFile(executable, bytes);
    std::string output;
    EXPECT_EQ(verifyBundle(copy, "cdhash H\"" + other + "\"", deepStrict, &output), unmet)
        << output;
    EXPECT_EQ(verifyBundle(copy, "cdhash H\"" + bundleCdHash(copy) + "\"", deepStrict, &output),
              invalid)
        << "the requirement holds, so the files are read and the change is found";
}

TEST_F(Codesign, MalformedRequirementsAreSyntaxErrors) {
    const std::string hash(40, 'a');
    const char* const malformed[] = {
        "",
        "   ",
        "identifier",
        "identifier com.quorvane.pro",
        "identifier \"com.quorvane.pro",
        "identifier \"a\\nb\"",
        "identifier \"com.quorvane.pro\" and",
        "and identifier \"x\"",
        "identifier \"x\" or anchor apple generic",
        "identifier \"x\" anchor apple generic",
        "(identifier \"x\")",
        "!identifier \"x\"",
        "anchor apple",
        "anchor apple generic generic",
        "certificate leaf[subject.CN] = \"x\"",
        "certificate leaf[subject.OU] \"x\"",
        "certificate root[subject.OU] = \"x\"",
        "certificate leaf[field.1.2.] exists",
        "certificate leaf[field.9.1] exists",
        "certificate leaf[field.1.02.3] exists",
        "certificate leaf[field.1.2.3]",
        "cdhash \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"",
        "cdhash H\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"",
        "cdhash H\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"",
        "cdhash H\"gaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"",
        "cdhash h\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"",
        "identifier \"x\"\x01",
    };
    for (const char* text : malformed) {
        std::string output;
        EXPECT_EQ(verifyBundle(app, std::string(text), deepStrict, &output), syntaxError)
            << "[" << text << "]: " << output;
        EXPECT_NE(output.find("syntax error"), std::string::npos) << output;
    }
    // Escapes, spacing and clause order are free; repeated clauses are allowed.
    const std::string spelled = "identifier\t\"" +
                                std::string(quorvane::config::productBundleIdentifier) +
                                "\"\nand  anchor apple generic and anchor apple generic";
    EXPECT_EQ(verifyBundle(app, spelled), valid);
    EXPECT_EQ(verifyBundle(app, std::string("identifier \"a\\\"b\\\\c\"")), unmet);
    EXPECT_EQ(verifyBundle(app, std::string(9000, ' ') + "anchor apple generic"), syntaxError);
}

TEST(CodesignTool, UsageErrorsAndUnsignedBundles) {
    TempDir dir;
    writeApp(dir / "Plain.app");
    const std::string codesign = toolPath("codesign").string();
    std::string help;
    EXPECT_EQ(runCommand({codesign, "--help"}, &help), 0);
    EXPECT_NE(help.find("--verify"), std::string::npos);
    EXPECT_EQ(runCommand({codesign, "--verify"}), syntaxError);
    EXPECT_EQ(runCommand({codesign, "--verify", "--sign", (dir / "Plain.app").string()}),
              syntaxError);
    EXPECT_EQ(runCommand({codesign, "--verify", "--bogus", (dir / "Plain.app").string()}),
              syntaxError);
    std::string output;
    EXPECT_EQ(verifyBundle(dir / "Plain.app", std::nullopt, deepStrict, &output), invalid);
    EXPECT_NE(output.find("not signed"), std::string::npos) << output;
    EXPECT_EQ(verifyBundle(dir / "Missing.app", std::nullopt), invalid);
    EXPECT_NE(runCommand({codesign, "--cdhash", (dir / "Plain.app").string()}), 0);
}

} // namespace
