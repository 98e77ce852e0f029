#pragma once

// The underlying errors of a failure, for the diagnostic log.

#include <exception>
#include <string>

namespace quorvane::diagnostics {

// Every error in a nested chain, outermost first, one per line after a two-space indent; errno
// values carry their names.
std::string describeChain(std::exception_ptr error);

} // namespace quorvane::diagnostics
