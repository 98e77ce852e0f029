#include "download/CurlHandles.h"

#include <mutex>
#include <stdexcept>

namespace quorvane::curl {
namespace {

class Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "libcurl"; }
    std::string message(int code) const override {
        return curl_easy_strerror(static_cast<CURLcode>(code));
    }
};

} // namespace

const std::error_category& category() {
    static const Category instance;
    return instance;
}

void fail(CURLcode code) {
    throw std::system_error(static_cast<int>(code), category());
}

void fail(CURLMcode code) {
    throw std::runtime_error(curl_multi_strerror(code));
}

void initialise() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
            fail(rc);
    });
}

HeaderList append(HeaderList list, const std::string& header) {
    curl_slist* longer = curl_slist_append(list.get(), header.c_str());
    if (!longer)
        fail(CURLE_OUT_OF_MEMORY);
    (void)list.release();
    return HeaderList(longer);
}

} // namespace quorvane::curl
