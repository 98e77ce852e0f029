#include "manifest/BootstrapManifest.h"

#include "base/Diagnostics.h"
#include "base/UrlParts.h"
#include "manifest/BootstrapFailure.h"

#include <algorithm>
#include <limits>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvane {
namespace {

using nlohmann::json;

const json& member(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        throw ManifestDecodingError(std::string("missing value for key ") + key);
    return *it;
}

std::string requiredString(const json& object, const char* key) {
    const json& value = member(object, key);
    if (!value.is_string())
        throw ManifestDecodingError(std::string("expected a string for key ") + key);
    return value.get<std::string>();
}

bool requiredBool(const json& object, const char* key) {
    const json& value = member(object, key);
    if (!value.is_boolean())
        throw ManifestDecodingError(std::string("expected a Boolean for key ") + key);
    return value.get<bool>();
}

std::int64_t requiredInt64(const json& object, const char* key) {
    const json& value = member(object, key);
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(u);
    }
    throw ManifestDecodingError(std::string("expected a 64-bit integer for key ") + key);
}

bool absent(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() || it->is_null();
}

// Exactly `length` characters, each an ASCII hexadecimal digit. Every accepted character is one
// byte, so counting bytes counts user-perceived characters: any multi-scalar or non-ASCII
// character contains a byte that is not a hex digit.
bool isHex(std::string_view text, std::size_t length) {
    return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

json parseBounded(std::string_view text) {
    if (text.size() > BootstrapManifest::maxDocumentBytes)
        throw ManifestDecodingError("manifest document too large");
    // Refuse deep nesting and duplicate keys while parsing, before anything is built from them.
    std::vector<std::set<std::string>> keys;
    auto guard = [&keys](int depth, json::parse_event_t event, json& parsed) {
        if (depth > BootstrapManifest::maxDepth)
            throw ManifestDecodingError("manifest document nested too deeply");
        switch (event) {
        case json::parse_event_t::object_start:
            keys.emplace_back();
            break;
        case json::parse_event_t::object_end:
            if (!keys.empty())
                keys.pop_back();
            break;
        case json::parse_event_t::key:
            if (keys.empty() || !keys.back().insert(parsed.get<std::string>()).second)
                throw ManifestDecodingError("duplicate key in manifest document");
            break;
        default:
            break;
        }
        return true;
    };
    return json::parse(text.begin(), text.end(), guard, /*allow_exceptions=*/true,
                       /*ignore_comments=*/false);
}

} // namespace

BootstrapManifest BootstrapManifest::decode(std::string_view text) {
    const json document = parseBounded(text);
    if (!document.is_object())
        throw ManifestDecodingError("manifest is not a JSON object");

    BootstrapManifest m;
    m.version = requiredString(document, "version");
    m.build = requiredString(document, "build");
    m.payloadURL = requiredString(document, "payloadURL");
    if (!UrlParts::parse(m.payloadURL))
        throw ManifestDecodingError("payloadURL is not a URL");
    m.payloadBytes = requiredInt64(document, "payloadBytes");
    if (!absent(document, "embeddedPackageBytes"))
        m.embeddedPackageBytes = requiredInt64(document, "embeddedPackageBytes");
    if (!absent(document, "installedAppCDHash"))
        m.installedAppCDHash = requiredString(document, "installedAppCDHash");
    m.payloadSHA256 = requiredString(document, "payloadSHA256");
    m.localTesting = requiredBool(document, "localTesting");
    m.allowUnsignedTestPayload = requiredBool(document, "allowUnsignedTestPayload");
    return m;
}

std::string BootstrapManifest::encode() const {
    nlohmann::ordered_json out;
    out["version"] = version;
    out["build"] = build;
    out["payloadURL"] = payloadURL;
    out["payloadBytes"] = payloadBytes;
    if (embeddedPackageBytes)
        out["embeddedPackageBytes"] = *embeddedPackageBytes;
    if (installedAppCDHash)
        out["installedAppCDHash"] = *installedAppCDHash;
    out["payloadSHA256"] = payloadSHA256;
    out["localTesting"] = localTesting;
    out["allowUnsignedTestPayload"] = allowUnsignedTestPayload;
    return out.dump();
}

void BootstrapManifest::validate() const {
    const auto fail = [](std::string_view rule) {
        diagnostics::record("manifest: invalid: " + std::string(rule));
        throw BootstrapFailure::configuration;
    };
    if (payloadBytes < 1 || payloadBytes > 4'000'000'000)
        fail("payloadBytes must lie between 1 and 4000000000");
    if (embeddedPackageBytes &&
        (*embeddedPackageBytes < 0 || *embeddedPackageBytes >= payloadBytes))
        fail("embeddedPackageBytes must be at least 0 and less than payloadBytes");
    if (installedAppCDHash && !isHex(*installedAppCDHash, 40))
        fail("installedAppCDHash must be 40 hexadecimal digits");
    if (!isHex(payloadSHA256, 64))
        fail("payloadSHA256 must be 64 hexadecimal digits");
    if (version.empty())
        fail("version must not be empty");
    if (build.empty())
        fail("build must not be empty");
    const auto url = UrlParts::parse(payloadURL);
    if (!url || url->user || url->password || url->fragment)
        fail("payloadURL must parse, without user information or fragment");
    if (localTesting)
        fail("localTesting must not be set");
    if (!url->scheme || *url->scheme != "https")
        fail("payloadURL must use https");
    if (!url->host)
        fail("payloadURL must name a host");
    if (allowUnsignedTestPayload)
        fail("allowUnsignedTestPayload must not be set");
}

std::uint64_t BootstrapManifest::tailBytes() const noexcept {
    const std::int64_t embedded = embeddedPackageBytes.value_or(0);
    if (payloadBytes < 0 || embedded < 0 || embedded > payloadBytes)
        return 0;
    return static_cast<std::uint64_t>(payloadBytes - embedded);
}

} // namespace quorvane
