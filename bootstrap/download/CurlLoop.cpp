#include "download/CurlLoop.h"

#include "download/CurlHandles.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane {
namespace {

// A silent connection is looked at this often (activity ends a poll at once).
constexpr int pollLimit = 250;

} // namespace

CURLcode runToEnd(CURL* easy, const std::atomic<bool>& cancelled,
                  const std::function<void(CURLM*)>& attach, const std::function<void()>& step) {
    const curl::Multi multi(curl_multi_init());
    if (!multi)
        curl::fail(CURLE_OUT_OF_MEMORY);
    if (const CURLMcode rc = curl_multi_add_handle(multi.get(), easy); rc != CURLM_OK)
        curl::fail(rc);
    struct Attached {
        CURLM* multi;
        CURL* easy;
        const std::function<void(CURLM*)>& attach;
        ~Attached() {
            attach(nullptr);
            curl_multi_remove_handle(multi, easy);
        }
    } attached{multi.get(), easy, attach};
    attach(multi.get());

    for (;;) {
        int running = 0;
        if (const CURLMcode rc = curl_multi_perform(multi.get(), &running); rc != CURLM_OK)
            curl::fail(rc);
        step();
        if (running == 0)
            break;
        if (cancelled.load())
            throw BootstrapFailure::cancelled;
        if (const CURLMcode rc = curl_multi_poll(multi.get(), nullptr, 0, pollLimit, nullptr);
            rc != CURLM_OK)
            curl::fail(rc);
    }

    CURLcode result = CURLE_OK;
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued))
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    return result;
}

} // namespace quorvane
