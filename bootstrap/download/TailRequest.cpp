#include "download/TailRequest.h"

#include <algorithm>
#include <string_view>

#include "base/Diagnostics.h"
#include "download/BootstrapDownload.h"
#include "download/CurlHandles.h"
#include "download/HeaderValues.h"
#include "download/PartialTail.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane {

using curl::set;
using http::startsWithNoCase;
using http::trim;

TailRequest::TailRequest(PartialTail& tail, const std::atomic<bool>& cancelled)
    : tail_(tail), cancelled_(cancelled), from_(tail.held()), ranged_(from_ > 0) {}

// Judges the answer once its head is complete, before any body byte counts, so that an error
// page is never written or reported.
bool TailRequest::judge() {
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    // Control bytes are never part of a validator (obs-text is): one that holds them is not
    // sent back in a header.
    const auto sendable = [](std::string_view value) {
        return !value.empty() && std::none_of(value.begin(), value.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return (byte < 0x20 && byte != '\t') || byte == 0x7F;
        });
    };
    std::string validator;
    if (sendable(etag_) && !startsWithNoCase(etag_, "W/"))
        validator = etag_;
    else if (sendable(lastModified_))
        validator = lastModified_;

    if (ranged_ && status == 206) {
        const auto range = http::parseContentRange(contentRange_);
        // The same validator as the kept bytes': If-Range was honoured by a server that still
        // names the same file.
        const bool sameFile = validator.empty() || validator == tail_.validator();
        if (!range || range->first != from_ || range->complete > tail_.size() || !sameFile) {
            mustStartOver_ = true;
            return false;
        }
        if (announcesTooFew(status, tail_.size() - from_)) {
            failure_ = std::make_exception_ptr(BootstrapFailure::download);
            return false;
        }
        limit_ = tail_.size() - from_;
        return true;
    }
    if ((status == 200 || status == 206) && announcesTooFew(status, tail_.size())) {
        failure_ = std::make_exception_ptr(BootstrapFailure::download);
        return false;
    }
    if (ranged_ && status == 200) {
        // The whole tail again: what was held goes, never to be spliced with the new bytes.
        tail_.truncate();
        tail_.report(true);
    } else if (ranged_) {
        mustStartOver_ = true;
        return false;
    } else if (status != 200) {
        failure_ = std::make_exception_ptr(BootstrapFailure::download);
        return false;
    }
    from_ = 0;
    limit_ = tail_.size();
    tail_.keep(validator);
    return true;
}

// A login page, a proxy's notice or any other short answer in place of the package: refused
// before a byte of it is written, so that the failure names the network, not the download's
// integrity. An answer without a length is judged by its bytes as they come.
bool TailRequest::announcesTooFew(long status, std::uint64_t expected) const {
    const auto length = http::parseNumber(contentLength_);
    const auto range = http::parseContentRange(contentRange_);
    const bool tooShort = (length && *length < expected) ||
                          (status == 206 && range && range->last + 1 - range->first < expected);
    if (!tooShort)
        return false;
    const auto shown = [](std::string_view value) {
        return value.empty() ? std::string("none") : std::string(value.substr(0, 100));
    };
    diagnostics::record("download: refused an answer that announces fewer bytes than the " +
                        std::string(ranged_ ? "rest of the tail" : "tail") + " (" +
                        std::to_string(expected) + " expected from byte " + std::to_string(from_) +
                        "): HTTP " + std::to_string(status) + ", Content-Type " +
                        shown(contentType_) + ", Content-Length " + shown(contentLength_) +
                        (contentRange_.empty() ? "" : ", Content-Range " + shown(contentRange_)));
    return true;
}

std::size_t TailRequest::onHeader(char* data, std::size_t, std::size_t length, void* user) {
    auto& request = *static_cast<TailRequest*>(user);
    const std::string_view line(data, length);
    try {
        if (startsWithNoCase(line, "HTTP/")) {
            // A new answer (after an informational one): its own headers only.
            request.etag_.clear();
            request.lastModified_.clear();
            request.contentRange_.clear();
            request.contentLength_.clear();
            request.contentType_.clear();
        } else if (trim(line).empty()) {
            long status = 0;
            curl_easy_getinfo(request.easy_, CURLINFO_RESPONSE_CODE, &status);
            if (status >= 200 && !request.accepted_) {
                if (!request.judge())
                    return CURL_WRITEFUNC_ERROR;
                request.accepted_ = true;
            }
        } else if (startsWithNoCase(line, "ETag:")) {
            request.etag_ = trim(line.substr(5));
        } else if (startsWithNoCase(line, "Last-Modified:")) {
            request.lastModified_ = trim(line.substr(14));
        } else if (startsWithNoCase(line, "Content-Range:")) {
            request.contentRange_ = trim(line.substr(14));
        } else if (startsWithNoCase(line, "Content-Length:")) {
            request.contentLength_ = trim(line.substr(15));
        } else if (startsWithNoCase(line, "Content-Type:")) {
            request.contentType_ = trim(line.substr(13));
        }
    } catch (...) {
        request.failure_ = std::make_exception_ptr(
            BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download));
        return CURL_WRITEFUNC_ERROR;
    }
    return length;
}

std::size_t TailRequest::onData(char* data, std::size_t, std::size_t length, void* user) {
    auto& request = *static_cast<TailRequest*>(user);
    if (request.cancelled_.load()) {
        request.failure_ = std::make_exception_ptr(BootstrapFailure::cancelled);
        return CURL_WRITEFUNC_ERROR;
    }
    if (!request.accepted_) {
        request.failure_ = std::make_exception_ptr(BootstrapFailure::download);
        return CURL_WRITEFUNC_ERROR;
    }
    if (length > request.limit_) {
        request.failure_ = std::make_exception_ptr(BootstrapFailure::size);
        return CURL_WRITEFUNC_ERROR;
    }
    request.limit_ -= length;
    try {
        request.tail_.take(data, length);
    } catch (...) {
        request.failure_ = std::make_exception_ptr(
            BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download));
        return CURL_WRITEFUNC_ERROR;
    }
    return length;
}

void TailRequest::configure(CURL* easy, const std::string& url, const std::string& caFile,
                            const std::string& caPem, const DownloadOptions& options,
                            const CurlProxy& proxy, curl_slist* headers) {
    easy_ = easy;
    set(easy, CURLOPT_URL, url.c_str());
    set(easy, CURLOPT_PROTOCOLS_STR, "https");
    set(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    set(easy, CURLOPT_FOLLOWLOCATION, 0L);
    set(easy, CURLOPT_HTTPGET, 1L);
    set(easy, CURLOPT_HTTPHEADER, headers);
    set(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    set(easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
    // Always set, so that libcurl never picks a proxy from the environment by itself: the
    // caller decided. Credentials for the proxy come from its URI only.
    set(easy, CURLOPT_PROXY, proxy.address.c_str());
    if (proxy.user) {
        set(easy, CURLOPT_PROXYUSERNAME, proxy.user->c_str());
        set(easy, CURLOPT_PROXYPASSWORD, proxy.password.value_or("").c_str());
    }
    // Whatever scheme the proxy asks for, but never one that runs an outside helper program.
    set(easy, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_ANY & ~CURLAUTH_NTLM_WB));
    set(easy, CURLOPT_NOPROXY, options.proxy.noProxy.c_str());
    set(easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
    set(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    set(easy, CURLOPT_NOSIGNAL, 1L);
    set(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    set(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    set(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!caPem.empty()) {
        curl_blob authorities{const_cast<char*>(caPem.data()), caPem.size(), CURL_BLOB_COPY};
        set(easy, CURLOPT_CAINFO_BLOB, &authorities);
        set(easy, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
        set(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    } else if (!caFile.empty()) {
        set(easy, CURLOPT_CAINFO, caFile.c_str());
        set(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    set(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(options.connectTimeout.count()));
    set(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.stallTimeout.count()));
    set(easy, CURLOPT_TIMEOUT, 7200L);
    set(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
    set(easy, CURLOPT_HEADERFUNCTION, &TailRequest::onHeader);
    set(easy, CURLOPT_HEADERDATA, this);
    set(easy, CURLOPT_WRITEFUNCTION, &TailRequest::onData);
    set(easy, CURLOPT_WRITEDATA, this);
}

} // namespace quorvane
