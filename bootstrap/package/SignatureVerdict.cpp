#include "package/SignatureVerdict.h"

#include <algorithm>

#include <quorvane/BuildConfig.h>

#include "contract/ExitStatus.h"
#include "contract/SignatureStatus.h"

namespace quorvane {
namespace {

std::string statusLine(std::string_view status) {
    return std::string(contract::statusLabel) + std::string(status);
}

} // namespace

SignatureVerdict::SignatureVerdict()
    : forDistribution_{statusLine(contract::signedForDistribution)}, trusted_{statusLine(
                                                                         contract::signedTrusted)},
      installerCertificate_{"Developer ID Installer:"},
      team_{"(" + std::string(config::pinnedTeamIdentifier) + ")"} {}

void SignatureVerdict::feed(std::string_view bytes) {
    decoder_.decode(bytes, window_);
    scan();
}

bool SignatureVerdict::accepts(int exitStatus) {
    decoder_.finish(window_);
    scan();
    return exitStatus == contract::PkgutilStatus::success &&
           (forDistribution_.seen || trusted_.seen) && installerCertificate_.seen && team_.seen;
}

void SignatureVerdict::scan() {
    std::size_t longest = 0;
    for (Sought* sought : {&forDistribution_, &trusted_, &installerCertificate_, &team_}) {
        if (!sought->seen && window_.find(sought->text) != std::string::npos)
            sought->seen = true;
        longest = std::max(longest, sought->text.size());
    }
    // Keep just enough to find a text that straddles this piece and the next.
    const std::size_t keep = longest - 1;
    if (window_.size() > keep)
        window_.erase(0, window_.size() - keep);
}

} // namespace quorvane
