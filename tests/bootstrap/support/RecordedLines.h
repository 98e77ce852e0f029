#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/Diagnostics.h"

namespace quorvane::test {

// Takes the lines recorded for as long as it lives.
class RecordedLines {
public:
    RecordedLines() { quorvane::diagnostics::setSink(sink_); }
    ~RecordedLines() { quorvane::diagnostics::setSink(nullptr); }
    // The text of the latest line, after its time and run id.
    std::string last() const {
        const std::lock_guard lock(sink_->mutex);
        const std::string& line = sink_->lines.back();
        return line.substr(line.find("] ") + 2);
    }
    // Every line so far.
    std::string all() const {
        const std::lock_guard lock(sink_->mutex);
        std::string text;
        for (const auto& line : sink_->lines)
            text += line;
        return text;
    }

private:
    struct Sink final : quorvane::diagnostics::LogSink {
        void append(std::string_view line) noexcept override {
            const std::lock_guard lock(mutex);
            lines.emplace_back(line);
        }
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
};

} // namespace quorvane::test
