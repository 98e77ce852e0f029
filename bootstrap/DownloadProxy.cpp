#include "DownloadProxy.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace quorvane {

std::optional<std::string> curlProxy(std::string_view uri) {
    if (uri.empty())
        return std::string();
    const auto separator = uri.find("://");
    if (separator == std::string_view::npos)
        return "http://" + std::string(uri);
    std::string scheme(uri.substr(0, separator));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string_view rest = uri.substr(separator + 3);
    if (scheme == "direct")
        return std::string();
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> known{{
        {"http", "http"},
        {"https", "https"},
        {"socks", "socks5h"},
        {"socks5", "socks5h"},
        {"socks5h", "socks5h"},
        {"socks4a", "socks4a"},
    }};
    for (const auto& [name, mapped] : known)
        if (scheme == name && !rest.empty())
            return std::string(mapped) + "://" + std::string(rest);
    return std::nullopt;
}

} // namespace quorvane
