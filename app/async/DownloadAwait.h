#pragma once

#include "Completion.h"
#include "download/BootstrapDownload.h"

namespace quorvane::async {

// `co_await fetch(download)`: validates and starts the transfer, and resumes the awaiting task
// on the main thread with its outcome. Cancelling the task cancels the transfer.
inline auto fetch(BootstrapDownload& download) {
    auto start = [&download](std::shared_ptr<Completion<Nothing>> completion, std::stop_token) {
        download.fetch([completion](std::exception_ptr error) {
            if (error)
                completion->fail(error);
            else
                completion->resolve(Nothing{});
        });
    };
    auto cancel = [&download] { download.cancel(); };
    return awaitCompletion<Nothing>(std::move(start), std::move(cancel));
}

} // namespace quorvane::async
