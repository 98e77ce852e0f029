#pragma once

// libcurl's handles as owned values, and the one way options are set on them.

#include <memory>
#include <string>
#include <system_error>

#include <curl/curl.h>

namespace quorvane::curl {

const std::error_category& category();
[[noreturn]] void fail(CURLcode code);
[[noreturn]] void fail(CURLMcode code);
// curl_global_init, once per process.
void initialise();

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;
using Multi = std::unique_ptr<CURLM, MultiCleanup>;
using HeaderList = std::unique_ptr<curl_slist, ListCleanup>;

// Refuses to go on with any option that libcurl does not take: a transfer must never run with
// weaker settings than intended.
template <typename Value> void set(CURL* easy, CURLoption option, Value value) {
    if (const CURLcode rc = curl_easy_setopt(easy, option, value); rc != CURLE_OK)
        fail(rc);
}

HeaderList append(HeaderList list, const std::string& header);

} // namespace quorvane::curl
