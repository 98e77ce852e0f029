#include "download/TransferLog.h"

#include "base/Diagnostics.h"
#include "manifest/ErrorChain.h"

namespace quorvane::transferLog {

void started(const std::string& url, const CurlProxy& proxy, const std::string& caFile) {
    diagnostics::record(
        "download: from " + diagnostics::hostOf(url) + " " +
        (proxy.address.empty() ? std::string("without a proxy")
                               : "through the proxy " + diagnostics::hostOf(proxy.address)) +
        ", trusting " + (caFile.empty() ? std::string("libcurl's default store") : caFile));
}

void requestEnded(CURL* easy, std::uint64_t from, std::uint64_t received, std::uint64_t held,
                  CURLcode result, const char* detail) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    std::string line = "download: request from byte " + std::to_string(from) + ": HTTP " +
                       std::to_string(status) + ", received " + std::to_string(received) +
                       " bytes, " + std::to_string(held) + " held";
    if (result != CURLE_OK)
        line += "; libcurl error " + std::to_string(static_cast<int>(result)) + " (" +
                curl_easy_strerror(result) + (detail[0] ? std::string(": ") + detail : "") + ")";
    diagnostics::record(line);
}

void reconnecting(bool startingOver, std::chrono::milliseconds wait, std::size_t attempt) {
    diagnostics::record("download: " + std::string(startingOver ? "starting over" : "resuming") +
                        " after a wait of " + std::to_string(wait.count()) + " ms (attempt " +
                        std::to_string(attempt) + " without new bytes)");
}

void failed(std::exception_ptr problem) {
    diagnostics::record("download: failed:\n" + diagnostics::describeChain(problem));
}

} // namespace quorvane::transferLog
