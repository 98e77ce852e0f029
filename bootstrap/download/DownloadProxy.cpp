#include "download/DownloadProxy.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include <uriparser/Uri.h>

namespace quorvane {
namespace {

std::string percentDecoded(std::string_view text) {
    std::string decoded(text);
    const char* end = uriUnescapeInPlaceExA(decoded.data(), URI_FALSE, URI_BR_DONT_TOUCH);
    decoded.resize(static_cast<std::size_t>(end - decoded.data()));
    return decoded;
}

} // namespace

std::optional<CurlProxy> curlProxy(std::string_view uri) {
    if (uri.empty())
        return CurlProxy{};
    std::string scheme = "http";
    std::string_view rest = uri;
    if (const auto separator = uri.find("://"); separator != std::string_view::npos) {
        scheme = uri.substr(0, separator);
        std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        rest = uri.substr(separator + 3);
    }
    if (scheme == "direct")
        return CurlProxy{};
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> known{{
        {"http", "http"},
        {"https", "https"},
        {"socks", "socks5h"},
        {"socks5", "socks5h"},
        {"socks5h", "socks5h"},
        {"socks4a", "socks4a"},
    }};
    const auto mapped = std::find_if(known.begin(), known.end(),
                                     [&](const auto& entry) { return entry.first == scheme; });
    if (mapped == known.end() || rest.empty())
        return std::nullopt;
    CurlProxy proxy;
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        const std::string_view info = rest.substr(0, at);
        const auto colon = info.find(':');
        proxy.user = percentDecoded(info.substr(0, colon));
        if (colon != std::string_view::npos)
            proxy.password = percentDecoded(info.substr(colon + 1));
        rest.remove_prefix(at + 1);
    }
    proxy.address = std::string(mapped->second) + "://" + std::string(rest);
    return proxy;
}

} // namespace quorvane
