#include "ProxyResolver.h"

#include <cstdlib>

#include <QDBusMessage>
#include <QStringList>

namespace quorvane::proxy {

std::optional<DownloadProxy> fromPortalAnswer(const std::vector<std::string>& uris) {
    if (uris.empty())
        return std::nullopt;
    for (const std::string& uri : uris)
        if (curlProxy(uri))
            return DownloadProxy{uri, {}};
    return DownloadProxy{uris.front(), {}};
}

DownloadProxy fromEnvironment(const std::function<const char*(const char*)>& variable) {
    auto first = [&](std::initializer_list<const char*> names) {
        for (const char* name : names)
            if (const char* value = variable(name); value && *value)
                return std::string(value);
        return std::string();
    };
    return {first({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}),
            first({"no_proxy", "NO_PROXY"})};
}

DownloadProxy resolve(const std::string& url, std::chrono::milliseconds wait,
                      const QDBusConnection& bus,
                      const std::function<const char*(const char*)>& variable) {
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.portal.Desktop"),
            QStringLiteral("/org/freedesktop/portal/desktop"),
            QStringLiteral("org.freedesktop.portal.ProxyResolver"), QStringLiteral("Lookup"));
        call << QString::fromStdString(url);
        const QDBusMessage reply = bus.call(call, QDBus::Block, static_cast<int>(wait.count()));
        if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1) {
            std::vector<std::string> uris;
            for (const QString& uri : reply.arguments().front().toStringList())
                uris.push_back(uri.toStdString());
            // "direct://" may only mean that the desktop's settings name no proxy: a portal
            // started by the session manager cannot see what a shell or /etc/environment
            // exported, so a proxy variable of the installer's own still counts.
            if (auto chosen = fromPortalAnswer(uris)) {
                const auto proxy = curlProxy(chosen->uri);
                if (!proxy || !proxy->address.empty())
                    return *chosen;
                if (DownloadProxy fromVariables = fromEnvironment(variable);
                    !fromVariables.uri.empty())
                    return fromVariables;
                return *chosen;
            }
        }
    }
    return fromEnvironment(variable);
}

DownloadProxy resolve(const std::string& url) {
    const auto variable = [](const char* name) { return std::getenv(name); };
    // Without a session bus address the D-Bus library would try to start a bus of its own for
    // the X display, which can block far beyond the wait; a desktop session always names one.
    const char* address = variable("DBUS_SESSION_BUS_ADDRESS");
    if (!address || !*address)
        return fromEnvironment(variable);
    return resolve(url, std::chrono::seconds(2), QDBusConnection::sessionBus(), variable);
}

} // namespace quorvane::proxy
