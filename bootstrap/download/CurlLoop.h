#pragma once

#include <atomic>
#include <functional>

#include <curl/curl.h>

namespace quorvane {

// Runs `easy` to its end on a multi handle of its own and returns libcurl's result. `attach`
// gets the multi handle once curl_multi_wakeup may be called on it, and nullptr before it
// goes; a set `cancelled` ends the loop with BootstrapFailure::cancelled. `step` runs after each
// round of work, and at least four times a second while the connection is silent.
CURLcode runToEnd(CURL* easy, const std::atomic<bool>& cancelled,
                  const std::function<void(CURLM*)>& attach, const std::function<void()>& step);

} // namespace quorvane
