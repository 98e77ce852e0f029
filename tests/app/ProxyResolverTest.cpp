#include "ProxyResolver.h"

#include <map>
#include <optional>
#include <thread>

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <gtest/gtest.h>

#include "Daemon.h"
#include "PrivateBus.h"
#include "TempDir.h"

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace {

using Variables = std::map<std::string, std::string>;

std::function<const char*(const char*)> from(const Variables& variables) {
    return [&variables](const char* name) -> const char* {
        const auto it = variables.find(name);
        return it == variables.end() ? nullptr : it->second.c_str();
    };
}

bool waitForPortal(const QDBusConnection& connection, bool present) {
    for (int i = 0; i < 1000; ++i) {
        if (connection.interface()->isServiceRegistered(
                QStringLiteral("org.freedesktop.portal.Desktop")) == present)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

} // namespace

TEST(ProxyResolver, EnvironmentIsReadAsLibcurlReadsIt) {
    const struct {
        const char* name;
        Variables variables;
        DownloadProxy expected;
    } cases[] = {
        {"nothing set", {}, {"", ""}},
        {"lower case first",
         {{"https_proxy", "http://a:1"}, {"HTTPS_PROXY", "http://b:2"}, {"all_proxy", "c:3"}},
         {"http://a:1", ""}},
        {"upper case next",
         {{"HTTPS_PROXY", "http://b:2"}, {"all_proxy", "c:3"}},
         {"http://b:2", ""}},
        {"all_proxy last", {{"ALL_PROXY", "socks5://d:4"}}, {"socks5://d:4", ""}},
        {"http_proxy is not for https", {{"http_proxy", "http://e:5"}}, {"", ""}},
        {"an empty value counts as unset",
         {{"https_proxy", ""}, {"HTTPS_PROXY", "http://b:2"}},
         {"http://b:2", ""}},
        {"no_proxy then NO_PROXY",
         {{"https_proxy", "http://a:1"}, {"NO_PROXY", "example.org"}},
         {"http://a:1", "example.org"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(proxy::fromEnvironment(from(c.variables)), c.expected);
    }
}

TEST(ProxyResolver, PortalAnswerTakesTheFirstSupportedEntry) {
    using List = std::vector<std::string>;
    EXPECT_EQ(proxy::fromPortalAnswer({}), std::nullopt);
    EXPECT_EQ(proxy::fromPortalAnswer(List{"direct://", "http://a:1"})->uri, "direct://");
    EXPECT_EQ(proxy::fromPortalAnswer(List{"socks4://a:1", "https://b:2"})->uri, "https://b:2");
    // Nothing supported: handed on, so that the download fails rather than going direct.
    EXPECT_EQ(proxy::fromPortalAnswer(List{"socks4://a:1"})->uri, "socks4://a:1");
}

// What libcurl is given: the address alone, and the credentials apart, whole even where the URI
// is malformed around them.
TEST(ProxyResolver, CurlGetsTheAddressAndTheCredentialsApart) {
    using User = std::optional<std::string>;
    const struct {
        const char* uri;
        std::optional<CurlProxy> expected;
    } cases[] = {
        {"socks4://a:1", std::nullopt},
        {"gopher://a:1", std::nullopt},
        {"socks://a:1", CurlProxy{"socks5h://a:1", {}, {}}},
        {"SOCKS5://a:1", CurlProxy{"socks5h://a:1", {}, {}}},
        {"direct://", CurlProxy{}},
        {"", CurlProxy{}},
        {"proxy.example:3128", CurlProxy{"http://proxy.example:3128", {}, {}}},
        {"http://user:pa#ss@h:3129", CurlProxy{"http://h:3129", User("user"), User("pa#ss")}},
        {"http://user:pa ss@h:3129", CurlProxy{"http://h:3129", User("user"), User("pa ss")}},
        {"http://user:p@ss@h:3129/", CurlProxy{"http://h:3129/", User("user"), User("p@ss")}},
        {"socks5://us%40er:p%3Ass@h:1", CurlProxy{"socks5h://h:1", User("us@er"), User("p:ss")}},
        {"user@h:1", CurlProxy{"http://h:1", User("user"), {}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        EXPECT_EQ(curlProxy(c.uri), c.expected);
    }
}

// A private session bus with a portal stand-in that answers, or takes the call and stays
// silent, or is not there at all; the environment decides whenever the portal does not, and
// also when the portal says "direct://" (a portal started by the session manager cannot see
// what a shell or /etc/environment exported).
TEST(ProxyResolver, AsksThePortalOnTheSessionBus) {
    const PrivateBus bus;
    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "private-session");
    ASSERT_TRUE(connection.isConnected());
    const Variables environment{{"https_proxy", "http://from-environment:8080"},
                                {"no_proxy", "intranet.example"}};
    const Variables none;
    const std::string url = "https://downloads.example/tail";
    const std::string standIn = QUORVANE_SOURCE_DIR "/tests/app/portal_standin.py";

    EXPECT_EQ(proxy::resolve(url, 2s, connection, from(environment)),
              (DownloadProxy{"http://from-environment:8080", "intranet.example"}))
        << "no portal on the bus";
    EXPECT_EQ(proxy::resolve(url, 2s, connection, from(none)), DownloadProxy{})
        << "no portal on the bus, no variable";

    const struct {
        const char* name;
        std::vector<std::string> arguments;
        const Variables& variables;
        DownloadProxy expected;
    } cases[] = {
        {"an HTTP proxy",
         {"answer", "http://proxy.example:3128"},
         environment,
         {"http://proxy.example:3128", ""}},
        {"a socks proxy",
         {"answer", "socks://127.0.0.1:1080"},
         environment,
         {"socks://127.0.0.1:1080", ""}},
        {"direct, a variable set: the variable with its no_proxy",
         {"answer", "direct://"},
         environment,
         {"http://from-environment:8080", "intranet.example"}},
        {"direct, no variable: direct", {"answer", "direct://"}, none, {"direct://", ""}},
        {"silent: the environment after the wait",
         {"silent"},
         environment,
         {"http://from-environment:8080", "intranet.example"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv{standIn, bus.address()};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        std::optional<Daemon> portal(std::in_place, argv);
        ASSERT_TRUE(waitForPortal(connection, true));
        EXPECT_EQ(proxy::resolve(url, 500ms, connection, from(c.variables)), c.expected);
        portal.reset();
        ASSERT_TRUE(waitForPortal(connection, false));
    }
}

// The desktop's own portal, started on demand by a private bus that knows its service (and
// nothing else of the machine's): with no proxy in the desktop's settings it says "direct://",
// and the installer's own proxy variable still counts.
TEST(ProxyResolver, TheRealPortalsDirectLeavesTheVariablesTheirSay) {
    const std::filesystem::path portal = "/usr/libexec/xdg-desktop-portal";
    ASSERT_TRUE(std::filesystem::exists(portal)) << "scripts/setup installs xdg-desktop-portal";
    PrivateBus bus;
    bus.addService("org.freedesktop.portal.Desktop", {portal.string()});
    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "real-portal");
    ASSERT_TRUE(connection.isConnected());
    const std::string url = "https://downloads.example/tail";
    const Variables none;
    EXPECT_EQ(proxy::resolve(url, 10s, connection, from(none)).uri, "direct://");
    const Variables environment{{"https_proxy", "http://from-environment:8080"}};
    EXPECT_EQ(proxy::resolve(url, 10s, connection, from(environment)).uri,
              "http://from-environment:8080");
}
