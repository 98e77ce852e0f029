#include "base/Diagnostics.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/UrlParts.h"
#include "base/Utf8Decoder.h"
#include "base/Uuid.h"

namespace quorvane::diagnostics {
namespace {

std::mutex sinkMutex;
std::shared_ptr<LogSink> currentSink;

std::string utcNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    ::gmtime_r(&now.tv_sec, &parts);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1'000'000);
    return text;
}

// The code point that starts `text` (valid UTF-8) and its length in bytes.
std::pair<char32_t, std::size_t> firstCodePoint(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i)
        value = (value << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    return {value, length};
}

// What a terminal would act on instead of showing: C0 and C1 controls, and the bidirectional
// overrides and isolates, which reorder what follows them on the line.
bool isHidden(char32_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

// One event, one line: the tools' own line breaks are kept visible but harmless, and whatever a
// terminal would act on (bytes that are not UTF-8 included) becomes '?'.
void appendPrintable(std::string& line, std::string_view text) {
    std::string valid;
    Utf8Decoder decoder;
    decoder.decode(text, valid);
    decoder.finish(valid);
    constexpr char32_t replacement = 0xFFFD; // where the bytes were not UTF-8
    for (std::string_view rest = valid; !rest.empty();) {
        const auto [c, length] = firstCodePoint(rest);
        if (c == '\n')
            line += " | ";
        else if (isHidden(c) || c == replacement)
            line += '?';
        else
            line.append(rest.substr(0, length));
        rest.remove_prefix(length);
    }
}

} // namespace

void setSink(std::shared_ptr<LogSink> sink) {
    const std::lock_guard lock(sinkMutex);
    currentSink = std::move(sink);
}

const std::string& runId() {
    static const std::string id = [] {
        try {
            return randomUuid().substr(0, 8);
        } catch (...) {
            return std::string("--------");
        }
    }();
    return id;
}

void record(std::string_view text) noexcept {
    try {
        std::shared_ptr<LogSink> sink;
        {
            const std::lock_guard lock(sinkMutex);
            sink = currentSink;
        }
        if (!sink)
            return;
        std::string line = utcNow() + " [" + runId() + "] ";
        appendPrintable(line, withoutUserInfo(text));
        line += '\n';
        sink->append(line);
    } catch (...) {
        // Logging never changes an outcome.
    }
}

std::string errnoText(int value) {
    const char* name = ::strerrorname_np(value);
    char buffer[256];
    const char* message = ::strerror_r(value, buffer, sizeof buffer);
    return (name ? std::string(name) : "errno " + std::to_string(value)) + " (" + message + ")";
}

std::string withoutUserInfo(std::string_view text) {
    static constexpr std::string_view marker = "://";
    static constexpr std::string_view removed = "***";
    std::string out;
    std::size_t from = 0;
    for (std::size_t scheme; (scheme = text.find(marker, from)) != std::string_view::npos;) {
        const std::size_t start = scheme + marker.size();
        // A malformed URI (a raw '#', a space or a second '@' in its password) does not show
        // where its user information ends: everything up to the last '@' before the line or
        // the next URL ends goes, rather than too little.
        const std::size_t end =
            std::min({text.find('\n', start), text.find(marker, start), text.size()});
        const std::size_t at = text.substr(start, end - start).rfind('@');
        out.append(text.substr(from, start - from));
        if (at != std::string_view::npos) {
            out.append(removed);
            from = start + at;
        } else {
            from = start;
        }
    }
    out.append(text.substr(from));
    return out;
}

std::string hostOf(std::string_view url) {
    const auto parts = UrlParts::parse(url);
    if (!parts || !parts->host)
        return "(no host)";
    return *parts->host;
}

} // namespace quorvane::diagnostics
