#pragma once

// What the download writes to the diagnostic log: enough for support to tell a refused proxy,
// a wrong answer and an outage apart, and never a credential.

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

#include <curl/curl.h>

#include "download/DownloadProxy.h"

namespace quorvane::transferLog {

// `trusting`: the authorities the server's certificate is checked against, in words.
void started(const std::string& url, const CurlProxy& proxy, const std::string& noProxy,
             const std::string& trusting);
// One request's end: which way it went (through the proxy or around it), what the proxy and
// the server answered, what it brought, and libcurl's error if any.
void requestEnded(CURL* easy, const std::string& url, const CurlProxy& proxy, std::uint64_t from,
                  std::uint64_t received, std::uint64_t held, CURLcode result, const char* detail);
void reconnecting(bool startingOver, std::chrono::milliseconds wait, std::size_t attempt);
void waitingForNetwork(bool waiting, std::uint64_t held);
void failed(std::exception_ptr problem);

// "Basic, Digest" for a set of CURLAUTH_ bits; "none" for none.
std::string authSchemes(unsigned long schemes);

} // namespace quorvane::transferLog
