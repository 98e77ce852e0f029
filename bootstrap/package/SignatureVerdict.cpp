#include "package/SignatureVerdict.h"

#include <algorithm>

#include <quorvane/BuildConfig.h>

namespace quorvane {
namespace {

std::string teamMarker() {
    std::string marker = "(";
    marker += config::pinnedTeamIdentifier;
    marker += ")";
    return marker;
}

const std::array<std::string, 4>& requiredTexts() {
    static const std::array<std::string, 4> texts{
        "Status: signed by a developer certificate issued by Apple for distribution",
        "Status: signed by a certificate trusted by macOS",
        "Developer ID Installer:",
        teamMarker(),
    };
    return texts;
}

std::size_t longestText() {
    std::size_t longest = 0;
    for (const auto& text : requiredTexts())
        longest = std::max(longest, text.size());
    return longest;
}

} // namespace

void SignatureVerdict::feed(std::string_view bytes) {
    decoder_.decode(bytes, window_);
    scan();
}

bool SignatureVerdict::accepts(int exitStatus) {
    decoder_.finish(window_);
    scan();
    return exitStatus == 0 && (seen_[0] || seen_[1]) && seen_[2] && seen_[3];
}

void SignatureVerdict::scan() {
    const auto& texts = requiredTexts();
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (!seen_[i] && window_.find(texts[i]) != std::string::npos)
            seen_[i] = true;
    // Keep just enough to find a text that straddles this piece and the next.
    const std::size_t keep = longestText() - 1;
    if (window_.size() > keep)
        window_.erase(0, window_.size() - keep);
}

} // namespace quorvane
