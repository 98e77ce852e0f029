#include "download/TransferLog.h"

#include <cstdlib>
#include <memory>
#include <utility>

#include "base/Diagnostics.h"
#include "manifest/ErrorChain.h"

namespace quorvane::transferLog {
namespace {

// The port `url` names, else `fallback`.
long portOf(const std::string& url, long fallback) {
    struct UrlCleanup {
        void operator()(CURLU* u) const { curl_url_cleanup(u); }
    };
    const std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
    char* port = nullptr;
    if (!parsed ||
        curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_PORT, &port, 0) != CURLUE_OK)
        return fallback;
    const long value = std::strtol(port, nullptr, 10);
    curl_free(port);
    return value;
}

// Which way the connection went, told from where it led: the proxy answered CONNECT, or the
// peer's port is the proxy's and not the server's (or the reverse). no_proxy may have sent it
// around the proxy.
std::string way(CURL* easy, const std::string& url, const CurlProxy& proxy, long connectCode) {
    if (proxy.address.empty())
        return "directly";
    const std::string name = "the proxy " + diagnostics::hostOf(proxy.address);
    if (connectCode > 0)
        return "through " + name;
    long peerPort = 0;
    curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &peerPort);
    // libcurl's default for a proxy without a port is 1080.
    const long proxyPort = portOf(proxy.address, 1080);
    const long serverPort = portOf(url, 443);
    if (peerPort == 0)
        return "without reaching " + name + " or the server";
    if (peerPort == proxyPort && peerPort != serverPort)
        return "through " + name;
    if (peerPort == serverPort && peerPort != proxyPort)
        return "directly, around " + name + " (no_proxy)";
    return "through " + name + " or directly (both on port " + std::to_string(peerPort) + ")";
}

} // namespace

std::string authSchemes(unsigned long schemes) {
    static constexpr std::pair<unsigned long, const char*> names[] = {
        {CURLAUTH_BASIC, "Basic"},         {CURLAUTH_DIGEST, "Digest"},
        {CURLAUTH_DIGEST_IE, "Digest-IE"}, {CURLAUTH_NEGOTIATE, "Negotiate"},
        {CURLAUTH_NTLM, "NTLM"},           {CURLAUTH_NTLM_WB, "NTLM-WB"},
        {CURLAUTH_BEARER, "Bearer"},       {CURLAUTH_AWS_SIGV4, "AWS-SigV4"},
    };
    std::string text;
    for (const auto& [bit, name] : names)
        if (schemes & bit)
            text += (text.empty() ? "" : ", ") + std::string(name);
    return text.empty() ? "none" : text;
}

void started(const std::string& url, const CurlProxy& proxy, const std::string& noProxy,
             const std::string& trusting) {
    diagnostics::record(
        "download: from " + diagnostics::hostOf(url) + ", " +
        (proxy.address.empty()
             ? std::string("no proxy named")
             : "proxy named: " + diagnostics::hostOf(proxy.address) +
                   (noProxy.empty() ? std::string() : " (no_proxy: " + noProxy + ")")) +
        ", trusting " + trusting);
}

void requestEnded(CURL* easy, const std::string& url, const CurlProxy& proxy, std::uint64_t from,
                  std::uint64_t received, std::uint64_t held, CURLcode result, const char* detail) {
    long status = 0;
    long connectCode = 0;
    long offered = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    curl_easy_getinfo(easy, CURLINFO_PROXYAUTH_AVAIL, &offered);
    std::string line = "download: request from byte " + std::to_string(from) + " " +
                       way(easy, url, proxy, connectCode) + ": ";
    // A proxy that refuses the tunnel (407, 403, 511) is the proxy's answer, not the server's.
    if (connectCode > 0)
        line += "proxy HTTP " + std::to_string(connectCode) +
                (offered ? " offering " + authSchemes(static_cast<unsigned long>(offered)) : "") +
                ", ";
    line += status > 0 || connectCode == 0 || connectCode / 100 == 2
                ? "HTTP " + std::to_string(status)
                : std::string("no answer from the server");
    line += ", received " + std::to_string(received) + " bytes, " + std::to_string(held) + " held";
    if (result != CURLE_OK)
        line += "; libcurl error " + std::to_string(static_cast<int>(result)) + " (" +
                curl_easy_strerror(result) + (detail[0] ? std::string(": ") + detail : "") + ")";
    diagnostics::record(line);
}

void reconnecting(bool startingOver, std::chrono::milliseconds wait, std::size_t attempt) {
    const std::string what = startingOver ? "starting over" : "resuming";
    if (attempt == 0)
        diagnostics::record("download: " + what + " at once (the connection brought new bytes)");
    else
        diagnostics::record("download: " + what + " after a wait of " +
                            std::to_string(wait.count()) + " ms (attempt " +
                            std::to_string(attempt) + " without new bytes)");
}

void waitingForNetwork(bool waiting, std::uint64_t held) {
    diagnostics::record(waiting ? "download: no new byte for a while, " + std::to_string(held) +
                                      " held: waiting for the network"
                                : "download: bytes flow again");
}

void failed(std::exception_ptr problem) {
    diagnostics::record("download: failed:\n" + diagnostics::describeChain(problem));
}

} // namespace quorvane::transferLog
