#include "DiagnosticLog.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <unordered_set>

#include "BootstrapFailure.h"
#include "UrlParts.h"
#include "Uuid.h"

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

bool isErrno(const std::error_code& code) {
    return code.category() == std::generic_category() || code.category() == std::system_category();
}

std::string describeOne(const std::exception& e) {
    if (const auto* failure = dynamic_cast<const BootstrapFailure*>(&e))
        return "BootstrapFailure: " + failure->message();
    if (const auto* system = dynamic_cast<const std::system_error*>(&e)) {
        const std::error_code& code = system->code();
        std::string text = system->what();
        if (isErrno(code))
            text += " [" + errnoText(code.value()) + "]";
        else
            text += " [" + std::string(code.category().name()) + " " +
                    std::to_string(code.value()) + "]";
        return text;
    }
    return e.what();
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
        // One event, one line: the tools' own line breaks are kept visible but harmless.
        for (const char c : text) {
            if (c == '\n')
                line += " | ";
            else if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                line += '?';
            else
                line += c;
        }
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

std::string describeChain(std::exception_ptr error) {
    std::string text;
    std::unordered_set<const void*> seen;
    while (error) {
        std::exception_ptr next;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            if (!seen.insert(&e).second)
                break; // an error that names itself (or an earlier one) as its cause
            text += (text.empty() ? "" : "\n") + std::string("  ") + describeOne(e);
            if (const auto* nested = dynamic_cast<const std::nested_exception*>(&e))
                next = nested->nested_ptr();
        } catch (...) {
            text += (text.empty() ? "" : "\n") + std::string("  (an error of unknown type)");
        }
        error = next;
    }
    return text;
}

std::string hostOf(std::string_view url) {
    const auto parts = UrlParts::parse(url);
    if (!parts || !parts->host)
        return "(no host)";
    return *parts->host;
}

} // namespace quorvane::diagnostics
