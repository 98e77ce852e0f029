#include "base/UrlParts.h"

#include <memory>

#include <uriparser/Uri.h>

namespace quorvane {
namespace {

std::optional<std::string> part(const UriTextRangeA& range) {
    if (range.first == nullptr)
        return std::nullopt;
    return std::string(range.first, range.afterLast);
}

} // namespace

std::optional<UrlParts> UrlParts::parse(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    UriUriA uri;
    const char* errorPos = nullptr;
    if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPos) !=
        URI_SUCCESS)
        return std::nullopt;
    std::unique_ptr<UriUriA, void (*)(UriUriA*)> owner(&uri, uriFreeUriMembersA);

    UrlParts parts;
    parts.scheme = part(uri.scheme);
    if (auto info = part(uri.userInfo)) {
        // Any user information, even an empty one before '@', counts as a user name.
        const auto colon = info->find(':');
        parts.user = info->substr(0, colon);
        if (colon != std::string::npos)
            parts.password = info->substr(colon + 1);
    }
    parts.host = part(uri.hostText);
    if (parts.host && parts.host->empty())
        parts.host.reset();
    parts.fragment = part(uri.fragment);
    return parts;
}

} // namespace quorvane
