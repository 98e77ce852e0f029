#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QDBusConnection>

#include "download/DownloadProxy.h"

namespace quorvane::proxy {

// The desktop's choice for one URL: the first entry of the portal's ordered answer that the
// download supports ("direct://" included). An answer with nothing supported hands on its first
// entry, so that the download fails with its sentence rather than going around the proxy.
// nullopt for an empty answer.
std::optional<DownloadProxy> fromPortalAnswer(const std::vector<std::string>& uris);

// The conventional variables, in libcurl's order for an https URL: https_proxy, HTTPS_PROXY,
// all_proxy, ALL_PROXY; and no_proxy, NO_PROXY for the hosts that bypass it.
DownloadProxy fromEnvironment(const std::function<const char*(const char*)>& variable);

// Asks the XDG desktop portal's ProxyResolver on `bus`, waiting at most `wait`. A proxy the portal
// names wins; where the portal says "direct://" and a proxy variable is set, or no portal answers
// in time, the environment (read through `variable`) decides. Blocks: call it off the main
// thread.
DownloadProxy resolve(const std::string& url, std::chrono::milliseconds wait,
                      const QDBusConnection& bus,
                      const std::function<const char*(const char*)>& variable);
// The same on the user's session bus (only when DBUS_SESSION_BUS_ADDRESS names one), waiting
// 2 s, with the process's environment.
DownloadProxy resolve(const std::string& url);

} // namespace quorvane::proxy
