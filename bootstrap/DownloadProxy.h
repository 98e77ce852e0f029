#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

// The proxy a download goes through, as the desktop or the environment named it.
struct DownloadProxy {
    std::string uri;     // empty or "direct://": no proxy
    std::string noProxy; // hosts that bypass `uri`, in the no_proxy variable's form

    friend bool operator==(const DownloadProxy&, const DownloadProxy&) = default;
};

// The proxy as libcurl takes it: "" for a direct connection; socks and socks5 become socks5h
// (the proxy resolves names, so nothing leaks to the local resolver); a URI without a scheme
// is an HTTP proxy. nullopt for a scheme the download does not support.
std::optional<std::string> curlProxy(std::string_view uri);

} // namespace quorvane
