#pragma once

#include <atomic>
#include <functional>

#include <curl/curl.h>

namespace quorvane {

// Runs `easy` to its end on a multi handle of its own and returns libcurl's result. `attach`
// gets the multi handle once curl_multi_wakeup may be called on it, and nullptr before it
// goes; a set `cancelled` ends the loop with BootstrapFailure::cancelled.
CURLcode runToEnd(CURL* easy, const std::atomic<bool>& cancelled,
                  const std::function<void(CURLM*)>& attach);

} // namespace quorvane
