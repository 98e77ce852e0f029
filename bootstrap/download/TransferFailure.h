#pragma once

#include <exception>

#include <curl/curl.h>

namespace quorvane {

class BootstrapFailure;

// Endings of a connection that a new ranged request may get past. Everything else (a refused
// certificate, a refused proxy, an answer we do not accept) is final.
bool connectionEnded(CURLcode code);

// The failure a download reports for what ended it: `cancelled` once cancel() was called,
// else the failure `problem` carries or the download failure.
BootstrapFailure transferFailure(std::exception_ptr problem, bool cancelled);

} // namespace quorvane
