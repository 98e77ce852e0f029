#include "download/BootstrapDownload.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <curl/curl.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "base/Diagnostics.h"
#include "base/FileIo.h"
#include "base/Rename.h"
#include "download/SystemCABundle.h"
#include "manifest/BootstrapFailure.h"
#include "manifest/ErrorChain.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

class CurlCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "libcurl"; }
    std::string message(int code) const override {
        return curl_easy_strerror(static_cast<CURLcode>(code));
    }
};

const std::error_category& curlCategory() {
    static const CurlCategory category;
    return category;
}

[[noreturn]] void throwCurl(CURLcode code) {
    throw std::system_error(static_cast<int>(code), curlCategory());
}

void initialiseCurl() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
            throwCurl(rc);
    });
}

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
        throwCurl(rc);
}

HeaderList appendHeader(HeaderList list, const std::string& header) {
    curl_slist* longer = curl_slist_append(list.get(), header.c_str());
    if (!longer)
        throwCurl(CURLE_OUT_OF_MEMORY);
    (void)list.release();
    return HeaderList(longer);
}

// Endings of a connection that a new ranged request may get past. Everything else (a refused
// certificate, a refused proxy, an answer we do not accept) is final.
bool connectionEnded(CURLcode code) {
    switch (code) {
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t complete = 0;
};

// "bytes first-last/complete"; nullopt for anything else, "*" for the length included.
std::optional<ContentRange> parseContentRange(std::string_view value) {
    if (!startsWithNoCase(value, "bytes "))
        return std::nullopt;
    value = trim(value.substr(6));
    const auto dash = value.find('-');
    const auto slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return std::nullopt;
    const auto first = parseNumber(value.substr(0, dash));
    const auto last = parseNumber(value.substr(dash + 1, slash - dash - 1));
    const auto complete = parseNumber(value.substr(slash + 1));
    if (!first || !last || !complete || *first > *last || *last >= *complete)
        return std::nullopt;
    return ContentRange{*first, *last, *complete};
}

// Where the kept tail came from. A kept tail continues only for the same payload, and only
// with the validator that the server sent with its first bytes.
struct Record {
    std::string url;
    std::string sha256;
    std::int64_t payloadBytes = 0;
    std::int64_t embeddedBytes = 0;
    std::string validator; // a strong ETag, else a Last-Modified date: any bytes, kept exactly

    static Record of(const BootstrapManifest& manifest, std::string validator) {
        return {manifest.payloadURL, manifest.payloadSHA256, manifest.payloadBytes,
                manifest.embeddedPackageBytes.value_or(0), std::move(validator)};
    }
    bool sameSource(const Record& other) const {
        return url == other.url && sha256 == other.sha256 && payloadBytes == other.payloadBytes &&
               embeddedBytes == other.embeddedBytes;
    }
};

constexpr std::size_t recordLimit = 64 * 1024;

// The validator is kept as its byte values: a header may hold bytes of 0x80 and above (obs-text)
// that are not UTF-8, which JSON text cannot carry, and it must go back to the server exactly.
std::optional<Record> readRecord(const fs::path& path) {
    try {
        const FileDescriptor file = openPlainFile(AT_FDCWD, path, O_RDONLY);
        std::string text(recordLimit, '\0');
        text.resize(readAt(file.get(), std::span(text.data(), text.size()), 0));
        const auto json = nlohmann::json::parse(text);
        const auto validator = json.at("validatorBytes").get<std::vector<std::uint8_t>>();
        Record record{json.at("url").get<std::string>(), json.at("sha256").get<std::string>(),
                      json.at("payloadBytes").get<std::int64_t>(),
                      json.at("embeddedBytes").get<std::int64_t>(),
                      std::string(validator.begin(), validator.end())};
        if (record.validator.empty())
            return std::nullopt;
        return record;
    } catch (...) {
        return std::nullopt; // a torn or foreign record only means no resumption
    }
}

// Written beside the tail under a temporary name and renamed over the old one, so that a
// killed installer leaves either the old record or the new one.
void writeRecord(const fs::path& path, const Record& record) {
    const nlohmann::json json = {
        {"url", record.url},
        {"sha256", record.sha256},
        {"payloadBytes", record.payloadBytes},
        {"embeddedBytes", record.embeddedBytes},
        {"validatorBytes",
         std::vector<std::uint8_t>(record.validator.begin(), record.validator.end())}};
    const std::string text = json.dump();
    const fs::path temporary = path.string() + ".new";
    {
        const FileDescriptor file = createFreshFile(temporary, O_WRONLY, 0600);
        writeAll(file.get(), std::span(text.data(), text.size()));
        if (::fsync(file.get()) != 0)
            throwErrno("fsync");
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        throwErrno("rename");
}

void removeQuietly(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

std::uint64_t fileLength(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throwErrno("fstat");
    return static_cast<std::uint64_t>(info.st_size);
}

// How one request ended.
enum class Ending {
    complete,  // the whole answer arrived
    dropped,   // the connection ended early: resume from what is held
    startOver, // the answer cannot continue what is held: start again from byte 0
};

} // namespace

struct BootstrapDownload::State {
    BootstrapManifest manifest;
    std::filesystem::path destination;
    Progress progress;
    std::string caFile;
    std::string caPem;
    DownloadOptions options;

    std::mutex mutex;
    std::condition_variable wake; // ends a wait to reconnect when cancelled
    Done done;                    // present from fetch() until the outcome is delivered
    bool fetched = false;         // fetch() may run once
    CURLM* waking = nullptr;      // the running transfer's multi handle, for cancel() to wake
    std::atomic<bool> cancelled = false;
    std::thread thread;

    void run();
    std::exception_ptr transfer();
    void finish(std::exception_ptr outcome);
    bool waitToReconnect(std::chrono::milliseconds wait); // false when cancelled
};

namespace {

// The tail as it grows on disk, its source and the reports about it; lives on the transfer
// thread only.
struct Tail {
    Tail(const fs::path& destination, const BootstrapManifest& manifest,
         BootstrapDownload::Progress& progress, DownloadPacing::Now now)
        : partial(BootstrapDownload::partialPath(destination)),
          recordFile(BootstrapDownload::recordPath(destination)), manifest(manifest),
          size(static_cast<std::uint64_t>(manifest.payloadBytes) -
               static_cast<std::uint64_t>(manifest.embeddedPackageBytes.value_or(0))),
          progress(progress), pacing(std::move(now)) {}

    fs::path partial;
    fs::path recordFile;
    const BootstrapManifest& manifest;
    std::uint64_t size; // what the manifest expects
    BootstrapDownload::Progress& progress;
    DownloadPacing pacing;
    FileDescriptor file;
    std::uint64_t held = 0;
    std::string validator; // empty: what is held cannot be continued

    // Continues a kept tail recorded for this payload; anything else is thrown away. Whatever
    // else sits at the tail's name (a FIFO, a link, a file with other names) is never opened
    // for writing: the name is unlinked and a new file made.
    void open() {
        const auto record = readRecord(recordFile);
        bool keep = record && record->sameSource(Record::of(manifest, record->validator));
        try {
            file = openPlainFile(AT_FDCWD, partial, O_RDWR | O_CREAT, 0600);
        } catch (const std::system_error&) {
            diagnostics::record("download: a new tail replaces what was at its name:\n" +
                                diagnostics::describeChain(std::current_exception()));
            file = createFreshFile(partial, O_RDWR, 0600);
            keep = false;
        }
        // The umask may have taken the owner's bits away; the tail is reopened and joined later.
        if (::fchmod(file.get(), 0600) != 0)
            throwErrno("fchmod");
        held = fileLength(file.get());
        if (keep && held > 0 && held <= size) {
            validator = record->validator;
        } else {
            removeQuietly(recordFile);
            truncate();
        }
        report(true);
    }

    void truncate() {
        if (::ftruncate(file.get(), 0) != 0)
            throwErrno("ftruncate");
        held = 0;
    }

    void startOver() {
        validator.clear();
        removeQuietly(recordFile);
        truncate();
        report(true);
    }

    // Records what the kept bytes can be continued with. A record that cannot be written never
    // fails the download: the tail is then not resumable, and a dropped connection starts over.
    void keep(std::string newValidator) {
        validator.clear();
        if (!newValidator.empty()) {
            try {
                writeRecord(recordFile, Record::of(manifest, newValidator));
                validator = std::move(newValidator);
                return;
            } catch (...) {
                diagnostics::record("download: the tail cannot be resumed: its record was not "
                                    "written:\n" +
                                    diagnostics::describeChain(std::current_exception()));
            }
        }
        removeQuietly(recordFile);
    }

    // Writes straight from libcurl's buffer, while it is still in the CPU's cache.
    void take(const char* data, std::size_t length) {
        std::uint64_t at = held;
        held = pacing.take(
            held, length,
            [&](std::uint64_t n) {
                writeAllAt(file.get(), std::span(data, n), at);
                data += n;
                at += n;
            },
            [&](std::uint64_t total) {
                if (progress)
                    progress(static_cast<std::int64_t>(total));
            });
    }

    void report(bool final) {
        if ((final ? pacing.settle(held) : pacing.due(held)) && progress)
            progress(static_cast<std::int64_t>(held));
    }

    void discard() {
        file.reset();
        removeQuietly(partial);
        removeQuietly(recordFile);
    }
};

// One request and its answer.
struct Request {
    Request(Tail& tail, const std::atomic<bool>& cancelled)
        : tail(tail), cancelled(cancelled), from(tail.held), ranged(from > 0) {}

    Tail& tail;
    const std::atomic<bool>& cancelled;
    CURL* easy = nullptr;
    std::uint64_t from; // the first byte asked for
    bool ranged;
    std::uint64_t limit = 0; // body bytes this answer may still bring
    bool accepted = false;   // the answer's head was judged and its body may be taken
    std::string etag;
    std::string lastModified;
    std::string contentRange;
    std::exception_ptr failure; // set by the callback that stopped the transfer
    bool mustStartOver = false; // set by the callback that stopped the transfer

    // Judges the answer once its head is complete, before any body byte counts, so that an
    // error page is never written or reported.
    bool judge() {
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        // Control bytes are never part of a validator (obs-text is): one that holds them is not
        // sent back in a header.
        const auto sendable = [](std::string_view value) {
            return !value.empty() && std::none_of(value.begin(), value.end(), [](char c) {
                const auto byte = static_cast<unsigned char>(c);
                return (byte < 0x20 && byte != '\t') || byte == 0x7F;
            });
        };
        std::string validator;
        if (sendable(etag) && !startsWithNoCase(etag, "W/"))
            validator = etag;
        else if (sendable(lastModified))
            validator = lastModified;

        if (ranged && status == 206) {
            const auto range = parseContentRange(contentRange);
            // The same validator as the kept bytes': If-Range was honoured by a server that
            // still names the same file.
            const bool sameFile = validator.empty() || validator == tail.validator;
            if (!range || range->first != from || range->complete != tail.size ||
                range->last + 1 != tail.size || !sameFile) {
                mustStartOver = true;
                return false;
            }
            limit = tail.size - from;
            return true;
        }
        if (ranged && status == 200) {
            // The whole tail again: what was held goes, never to be spliced with the new bytes.
            tail.truncate();
            tail.report(true);
        } else if (ranged) {
            mustStartOver = true;
            return false;
        } else if (status != 200) {
            failure = std::make_exception_ptr(BootstrapFailure::download);
            return false;
        }
        from = 0;
        limit = tail.size;
        tail.keep(validator);
        return true;
    }

    static std::size_t onHeader(char* data, std::size_t, std::size_t length, void* user) {
        auto& request = *static_cast<Request*>(user);
        const std::string_view line(data, length);
        try {
            if (startsWithNoCase(line, "HTTP/")) {
                // A new answer (after an informational one): its own headers only.
                request.etag.clear();
                request.lastModified.clear();
                request.contentRange.clear();
            } else if (trim(line).empty()) {
                long status = 0;
                curl_easy_getinfo(request.easy, CURLINFO_RESPONSE_CODE, &status);
                if (status >= 200 && !request.accepted) {
                    if (!request.judge())
                        return CURL_WRITEFUNC_ERROR;
                    request.accepted = true;
                }
            } else if (startsWithNoCase(line, "ETag:")) {
                request.etag = trim(line.substr(5));
            } else if (startsWithNoCase(line, "Last-Modified:")) {
                request.lastModified = trim(line.substr(14));
            } else if (startsWithNoCase(line, "Content-Range:")) {
                request.contentRange = trim(line.substr(14));
            }
        } catch (...) {
            request.failure = std::make_exception_ptr(
                BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download));
            return CURL_WRITEFUNC_ERROR;
        }
        return length;
    }

    static std::size_t onData(char* data, std::size_t, std::size_t length, void* user) {
        auto& request = *static_cast<Request*>(user);
        if (request.cancelled.load()) {
            request.failure = std::make_exception_ptr(BootstrapFailure::cancelled);
            return CURL_WRITEFUNC_ERROR;
        }
        if (!request.accepted) {
            request.failure = std::make_exception_ptr(BootstrapFailure::download);
            return CURL_WRITEFUNC_ERROR;
        }
        if (length > request.limit) {
            request.failure = std::make_exception_ptr(BootstrapFailure::size);
            return CURL_WRITEFUNC_ERROR;
        }
        request.limit -= length;
        try {
            request.tail.take(data, length);
        } catch (...) {
            request.failure = std::make_exception_ptr(
                BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download));
            return CURL_WRITEFUNC_ERROR;
        }
        return length;
    }
};

void configure(CURL* easy, const BootstrapManifest& manifest, const std::string& caFile,
               const std::string& caPem, const DownloadOptions& options, const CurlProxy& proxy,
               curl_slist* headers, Request& request) {
    set(easy, CURLOPT_URL, manifest.payloadURL.c_str());
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
    set(easy, CURLOPT_HEADERFUNCTION, &Request::onHeader);
    set(easy, CURLOPT_HEADERDATA, &request);
    set(easy, CURLOPT_WRITEFUNCTION, &Request::onData);
    set(easy, CURLOPT_WRITEDATA, &request);
}

} // namespace

bool BootstrapDownload::State::waitToReconnect(std::chrono::milliseconds wait) {
    if (options.reconnecting)
        options.reconnecting(true);
    bool woken = false;
    {
        std::unique_lock lock(mutex);
        woken = wake.wait_for(lock, wait, [this] { return cancelled.load(); });
    }
    if (options.reconnecting)
        options.reconnecting(false);
    return !woken;
}

std::exception_ptr BootstrapDownload::State::transfer() {
    if (cancelled.load())
        return std::make_exception_ptr(BootstrapFailure::cancelled); // nothing was requested
    initialiseCurl();
    const std::optional<CurlProxy> proxy = curlProxy(options.proxy.uri);
    if (!proxy)
        return std::make_exception_ptr(BootstrapFailure::download);

    Tail tail(destination, manifest, progress, options.now);
    diagnostics::record("download: from " + diagnostics::hostOf(manifest.payloadURL) + " " +
                        (proxy->address.empty()
                             ? std::string("without a proxy")
                             : "through the proxy " + diagnostics::hostOf(proxy->address)) +
                        ", trusting " +
                        (!caPem.empty()   ? std::string("the authorities built into the installer")
                         : caFile.empty() ? std::string("libcurl's default store")
                                          : caFile));
    std::exception_ptr outcome;
    bool answered = false; // some answer was taken: later connection failures are resumable
    try {
        tail.open();
        answered = tail.held > 0;
        std::uint64_t mostHeld = tail.held;
        std::size_t inARow = 0; // resumptions since the tail last grew
        for (;;) {
            Request request(tail, cancelled);
            HeaderList headers = appendHeader(nullptr, "Accept-Encoding: identity");
            if (request.ranged) {
                headers = appendHeader(std::move(headers),
                                       "Range: bytes=" + std::to_string(request.from) + "-");
                headers = appendHeader(std::move(headers), "If-Range: " + tail.validator);
            }
            const Multi multi(curl_multi_init());
            const Easy easy(curl_easy_init());
            if (!multi || !easy)
                throwCurl(CURLE_OUT_OF_MEMORY);
            request.easy = easy.get();
            configure(easy.get(), manifest, caFile, caPem, options, *proxy, headers.get(), request);
            char curlDetail[CURL_ERROR_SIZE] = {};
            set(easy.get(), CURLOPT_ERRORBUFFER, curlDetail);
            const std::uint64_t heldBefore = tail.held;

            if (const CURLMcode rc = curl_multi_add_handle(multi.get(), easy.get()); rc != CURLM_OK)
                throw std::runtime_error(curl_multi_strerror(rc));
            struct Attached {
                CURLM* multi;
                CURL* easy;
                std::mutex& mutex;
                CURLM*& waking;
                ~Attached() {
                    {
                        const std::lock_guard lock(mutex);
                        waking = nullptr;
                    }
                    curl_multi_remove_handle(multi, easy);
                }
            } attached{multi.get(), easy.get(), mutex, waking};
            {
                const std::lock_guard lock(mutex);
                waking = multi.get();
            }

            for (;;) {
                int running = 0;
                if (const CURLMcode rc = curl_multi_perform(multi.get(), &running); rc != CURLM_OK)
                    throw std::runtime_error(curl_multi_strerror(rc));
                if (running == 0)
                    break;
                if (cancelled.load())
                    throw BootstrapFailure::cancelled;
                if (const CURLMcode rc = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
                    rc != CURLM_OK)
                    throw std::runtime_error(curl_multi_strerror(rc));
            }

            CURLcode result = CURLE_OK;
            int queued = 0;
            while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued))
                if (message->msg == CURLMSG_DONE)
                    result = message->data.result;
            answered = answered || request.accepted;
            {
                long status = 0;
                curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
                std::string line = "download: request from byte " + std::to_string(request.from) +
                                   ": HTTP " + std::to_string(status) + ", received " +
                                   std::to_string(tail.held - std::min(tail.held, heldBefore)) +
                                   " bytes, " + std::to_string(tail.held) + " held";
                if (result != CURLE_OK)
                    line += "; libcurl error " + std::to_string(static_cast<int>(result)) + " (" +
                            curl_easy_strerror(result) +
                            (curlDetail[0] ? std::string(": ") + curlDetail : "") + ")";
                diagnostics::record(line);
            }

            Ending ending = Ending::complete;
            if (request.failure) {
                std::rethrow_exception(request.failure);
            } else if (request.mustStartOver) {
                ending = Ending::startOver;
            } else if (result != CURLE_OK) {
                if (cancelled.load())
                    throw BootstrapFailure::cancelled;
                if (!answered || !connectionEnded(result))
                    throw std::system_error(static_cast<int>(result), curlCategory(), "transfer");
                ending = tail.validator.empty() ? Ending::startOver : Ending::dropped;
            } else if (!request.accepted) {
                throw BootstrapFailure::download;
            }
            if (ending == Ending::complete)
                break;

            if (tail.held > mostHeld) {
                mostHeld = tail.held;
                inARow = 0;
            }
            if (inARow == options.reconnectWaits.size())
                throw BootstrapFailure::download;
            diagnostics::record(
                "download: " +
                std::string(ending == Ending::startOver ? "starting over" : "resuming") +
                " after a wait of " + std::to_string(options.reconnectWaits[inARow].count()) +
                " ms (attempt " + std::to_string(inARow + 1) + " without new bytes)");
            if (!waitToReconnect(options.reconnectWaits[inARow++]))
                throw BootstrapFailure::cancelled;
            if (ending == Ending::startOver)
                tail.startOver();
        }

        tail.report(true);
        // Some file systems report a failed write only when the file is closed.
        if (::close(tail.file.release()) != 0)
            throwErrno("close");
        moveNoReplace(tail.partial, destination);
        removeQuietly(tail.recordFile);
        return nullptr;
    } catch (...) {
        diagnostics::record("download: failed:\n" +
                            diagnostics::describeChain(std::current_exception()));
        outcome = std::make_exception_ptr(BootstrapFailure::classify(
            std::current_exception(),
            cancelled.load() ? BootstrapFailure::cancelled : BootstrapFailure::download));
    }
    // A tail that a later fetch can continue stays after failures of the network or of space;
    // a cancelled download or an answer beyond the limit leaves nothing.
    const BootstrapFailure failure =
        BootstrapFailure::classify(outcome, BootstrapFailure::download);
    const bool resumable =
        (failure == BootstrapFailure::download || failure == BootstrapFailure::insufficientSpace) &&
        !tail.validator.empty() && tail.held > 0;
    if (!resumable)
        tail.discard();
    return outcome;
}

void BootstrapDownload::State::run() {
    std::exception_ptr outcome;
    try {
        outcome = transfer();
    } catch (...) {
        outcome = std::make_exception_ptr(
            BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download));
    }
    finish(outcome);
}

void BootstrapDownload::State::finish(std::exception_ptr outcome) {
    Done taken;
    {
        const std::lock_guard lock(mutex);
        taken = std::exchange(done, nullptr);
    }
    if (taken)
        taken(outcome);
}

BootstrapDownload::BootstrapDownload(BootstrapManifest manifest, std::filesystem::path destination,
                                     Progress progress, const SystemContext& context,
                                     DownloadOptions options)
    : state_(std::make_shared<State>()) {
    state_->manifest = std::move(manifest);
    state_->destination = std::move(destination);
    state_->progress = std::move(progress);
    // Built-in authorities replace any file; neither means the system's store, wherever this
    // distribution keeps it.
    state_->caPem = context.downloadCAPem;
    state_->caFile = context.downloadCAPem.empty() && context.downloadCAFile.empty()
                         ? findCABundle().string()
                         : context.downloadCAFile;
    state_->options = std::move(options);
}

BootstrapDownload::~BootstrapDownload() {
    cancel();
    if (!state_->thread.joinable())
        return;
    // Destroyed from its own outcome callback: the thread holds the state and ends by itself.
    if (state_->thread.get_id() == std::this_thread::get_id())
        state_->thread.detach();
    else
        state_->thread.join();
}

void BootstrapDownload::fetch(Done done) {
    state_->manifest.validate();
    {
        const std::lock_guard lock(state_->mutex);
        if (state_->fetched)
            throw std::logic_error("BootstrapDownload::fetch called twice");
        state_->fetched = true;
        state_->done = std::move(done);
    }
    try {
        state_->thread = std::thread([state = state_] { state->run(); });
    } catch (...) {
        state_->finish(std::make_exception_ptr(
            BootstrapFailure::classify(std::current_exception(), BootstrapFailure::download)));
    }
}

void BootstrapDownload::cancel() {
    {
        const std::lock_guard lock(state_->mutex);
        state_->cancelled = true;
        // Waking is safe under the lock: the transfer drops the handle only while holding it.
        if (state_->waking)
            curl_multi_wakeup(state_->waking);
    }
    state_->wake.notify_all();
}

const std::filesystem::path& BootstrapDownload::destination() const {
    return state_->destination;
}

std::filesystem::path BootstrapDownload::partialPath(const std::filesystem::path& destination) {
    return destination.parent_path() / (destination.filename().string() + ".partial");
}

std::filesystem::path BootstrapDownload::recordPath(const std::filesystem::path& destination) {
    return destination.parent_path() / (destination.filename().string() + ".source");
}

std::uint64_t BootstrapDownload::resumableBytes(const std::filesystem::path& destination,
                                                const BootstrapManifest& manifest) {
    const auto record = readRecord(recordPath(destination));
    if (!record || !record->sameSource(Record::of(manifest, record->validator)))
        return 0;
    struct stat info {};
    // A tail with other names is never continued (see Tail::open).
    if (::lstat(partialPath(destination).c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_nlink != 1)
        return 0;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const auto tail = static_cast<std::uint64_t>(manifest.payloadBytes) -
                      static_cast<std::uint64_t>(manifest.embeddedPackageBytes.value_or(0));
    return size <= tail ? size : 0;
}

void requireRoom(const std::filesystem::path& directory, std::uint64_t bytes) {
    struct statvfs info {};
    if (::statvfs(directory.c_str(), &info) != 0)
        throwErrno("statvfs");
    const std::uint64_t block = info.f_frsize > 0 ? info.f_frsize : 1;
    // In blocks, so that a large file system's byte count cannot wrap.
    if (static_cast<std::uint64_t>(info.f_bavail) < bytes / block + (bytes % block != 0))
        throw BootstrapFailure::insufficientSpace;
}

} // namespace quorvane
