#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include <curl/curl.h>

#include "download/DownloadProxy.h"

namespace quorvane {

class PartialTail;
struct DownloadOptions;

// One request for the tail (or the rest of it) and the judgement of its answer.
class TailRequest {
public:
    TailRequest(PartialTail& tail, const std::atomic<bool>& cancelled);

    // Sets every option of `easy` for this request, with this object as the callbacks' data.
    // `caPem` (authorities in PEM form), when given, replaces `caFile`.
    void configure(CURL* easy, const std::string& url, const std::string& caFile,
                   const std::string& caPem, const DownloadOptions& options, const CurlProxy& proxy,
                   curl_slist* headers);

    std::uint64_t from() const noexcept { return from_; }
    bool ranged() const noexcept { return ranged_; }
    // The answer's head was judged and its body may be taken.
    bool accepted() const noexcept { return accepted_; }
    // Set by the callback that stopped the transfer.
    const std::exception_ptr& failure() const noexcept { return failure_; }
    // The answer cannot continue what is held: start again from byte 0.
    bool mustStartOver() const noexcept { return mustStartOver_; }

private:
    bool judge();
    // The answer announces fewer body bytes than the `expected` it is to bring.
    bool announcesTooFew(long status, std::uint64_t expected) const;
    static std::size_t onHeader(char* data, std::size_t, std::size_t length, void* user);
    static std::size_t onData(char* data, std::size_t, std::size_t length, void* user);

    PartialTail& tail_;
    const std::atomic<bool>& cancelled_;
    CURL* easy_ = nullptr;
    std::uint64_t from_; // the first byte asked for
    bool ranged_;
    std::uint64_t limit_ = 0; // body bytes this answer may still bring
    bool accepted_ = false;
    std::string etag_;
    std::string lastModified_;
    std::string contentRange_;
    std::string contentLength_;
    std::string contentType_;
    std::exception_ptr failure_;
    bool mustStartOver_ = false;
};

} // namespace quorvane
