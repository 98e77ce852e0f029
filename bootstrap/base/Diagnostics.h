#pragma once

// What the installer did and why it failed, for support: one line per event. The window shows
// one sentence per failure; the causes go here. Recording never throws and never changes what
// the installer does.

#include <memory>
#include <string>
#include <string_view>

namespace quorvane::diagnostics {

// Where finished lines go (the app provides one; none means nothing is kept).
class LogSink {
public:
    virtual ~LogSink() = default;
    // `line` ends with a newline. Must not throw.
    virtual void append(std::string_view line) noexcept = 0;
};

// Replaces the process's sink; lines recorded afterwards go to `sink`.
void setSink(std::shared_ptr<LogSink> sink);

// One event: the UTC time and this run's id are put in front of `text`. User information of any
// URL in it is removed, and what a terminal would act on is escaped.
void record(std::string_view text) noexcept;

// This run's id (random, fixed for the life of the process).
const std::string& runId();

// "ENOSPC (No space left on device)" for an errno value.
std::string errnoText(int value);

// `text` with the user information of every URL in it replaced by "***".
std::string withoutUserInfo(std::string_view text);

// A URL reduced to what may be kept: its host (never user information or the query, which may
// carry tokens).
std::string hostOf(std::string_view url);

} // namespace quorvane::diagnostics
