#include "manifest/ErrorChain.h"

#include <system_error>
#include <unordered_set>

#include "base/Diagnostics.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane::diagnostics {
namespace {

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

} // namespace quorvane::diagnostics
