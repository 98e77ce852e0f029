#include "CodesignBundles.h"
#include "OpenSslHandles.h"
#include "Process.h"
#include "TempDir.h"
#include "manifest/BootstrapManifest.h"

#include <cstdint>
#include <optional>
#include <random>

#include <gtest/gtest.h>
#include <openssl/evp.h>

namespace fs = std::filesystem;
using namespace quorvane::test;
using quorvane::BootstrapManifest;

namespace {

const std::string url = "https://downloads.example.com:8443/quorvane/Quorvane%20Pro.tail?v=42";

// Not a real package: the maker treats the package as bytes, and several chunks of them
// show the streaming split.
std::string packageBytes(std::size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[32];
    EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned char b : digest) {
        static constexpr char digits[] = "0123456789abcdef";
        hex += digits[b >> 4];
        hex += digits[b & 0xf];
    }
    return hex;
}

class Resources : public ::testing::Test {
protected:
    TempDir dir;
    fs::path app = dir / "Quorvane Pro.app";
    fs::path package = dir / "Quorvane Pro.pkg";
    fs::path out = dir / "out";
    std::string bytes = packageBytes(2 * (1 << 20) + 12345);

    void SetUp() override {
        makeSignedApp(app);
        writeFile(package, bytes);
    }

    int make(const std::optional<std::string>& prefix, const std::string& payloadURL = url,
             std::string* output = nullptr) {
        std::vector<std::string> argv{toolPath("quorvane-make-resources").string(),
                                      "--package",
                                      package.string(),
                                      "--app",
                                      app.string(),
                                      "--url",
                                      payloadURL,
                                      "--output",
                                      out.string()};
        if (prefix) {
            argv.push_back("--prefix-bytes");
            argv.push_back(*prefix);
        }
        return runCommand(argv, output);
    }
};

TEST_F(Resources, ManifestAndPrefixDescribeThePackage) {
    // A prefix that ends inside the second chunk, none at all, the empty one, all but a byte.
    const std::optional<std::size_t> prefixes[] = {1500000, std::nullopt, 0, bytes.size() - 1};
    for (const auto& prefix : prefixes) {
        std::string output;
        ASSERT_EQ(
            make(prefix ? std::optional(std::to_string(*prefix)) : std::nullopt, url, &output), 0)
            << output;

        const BootstrapManifest manifest =
            BootstrapManifest::decode(readFile(out / "Payload.json"));
        EXPECT_NO_THROW(manifest.validate());
        EXPECT_EQ(manifest.version, "1.2");
        EXPECT_EQ(manifest.build, "42.1");
        EXPECT_EQ(manifest.payloadURL, url);
        EXPECT_EQ(manifest.payloadBytes, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(manifest.payloadSHA256, sha256Hex(bytes));
        EXPECT_EQ(manifest.installedAppCDHash, bundleCdHash(app));
        EXPECT_FALSE(manifest.localTesting);
        EXPECT_FALSE(manifest.allowUnsignedTestPayload);

        const std::string tail = readFile(out / "PackageTail.bin");
        if (prefix) {
            EXPECT_EQ(manifest.embeddedPackageBytes, static_cast<std::int64_t>(*prefix));
            EXPECT_EQ(readFile(out / "PackageBase.bin") + tail, bytes);
            EXPECT_EQ(tail.size(), bytes.size() - *prefix);
        } else {
            // The document leaves the key out, and no stale prefix of an earlier run remains.
            EXPECT_EQ(readFile(out / "Payload.json").find("embeddedPackageBytes"),
                      std::string::npos);
            EXPECT_FALSE(fs::exists(out / "PackageBase.bin"));
            EXPECT_EQ(tail, bytes);
        }
        // Only the three files: no partial leftovers.
        std::size_t files = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out))
            ++files;
        EXPECT_EQ(files, prefix ? 3u : 2u);
    }
}

TEST_F(Resources, RefusedInputsWriteNothing) {
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::optional<std::string> prefix;
        std::string payloadURL;
        int expected;
    };
    const Case cases[] = {
        {"prefix as long as the package", [] {}, std::to_string(bytes.size()), url, 1},
        {"plain http URL", [] {}, "10", "http://downloads.example.com/tail", 1},
        {"URL with a fragment", [] {}, "10", url + "#part", 1},
        {"app changed after signing",
         [&] { writeFile(app / "Contents" / "Resources" / "data.txt", "changed\n"); }, "10", url,
         1},
        {"Info.plist without a build, signed",
         [&] {
             writeFile(app / "Contents" / "Info.plist",
                       "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                       "<key>CFBundleShortVersionString</key><string>1.2</string>"
                       "</dict></plist>");
             signBundle(app, SigningFiles::application(), "com.quorvane.pro");
         },
         "10", url, 1},
        {"app signed under another identifier",
         [&] { signBundle(app, SigningFiles::application(), "com.quorvane.other"); }, "10", url, 1},
        {"empty package", [&] { writeFile(package, ""); }, std::nullopt, url, 1},
        {"negative prefix", [] {}, "-1", url, 2},
        {"prefix that is not a number", [] {}, "12k", url, 2},
    };
    for (const auto& c : cases) {
        fs::remove_all(app);
        makeSignedApp(app);
        writeFile(package, bytes);
        fs::remove_all(out);
        c.prepare();
        std::string output;
        EXPECT_EQ(make(c.prefix, c.payloadURL, &output), c.expected) << c.name << ": " << output;
        EXPECT_TRUE(!fs::exists(out) || fs::is_empty(out)) << c.name;
    }
}

} // namespace
