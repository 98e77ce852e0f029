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

// A proxy as libcurl takes it. The credentials travel apart from the address, so that no text
// libcurl writes (its error messages quote the proxy's address) can hold them.
struct CurlProxy {
    std::string address; // scheme://host[:port], without user information; "": direct
    std::optional<std::string> user;
    std::optional<std::string> password;

    friend bool operator==(const CurlProxy&, const CurlProxy&) = default;
};

// The proxy of `uri`: socks and socks5 become socks5h (the proxy resolves names, so nothing
// leaks to the local resolver); a URI without a scheme is an HTTP proxy. The user information
// is everything before the last '@', so that a password with a raw '#', a space or an '@' is
// still a password; its %XX escapes are decoded. nullopt for a scheme the download does not
// support.
std::optional<CurlProxy> curlProxy(std::string_view uri);

} // namespace quorvane
