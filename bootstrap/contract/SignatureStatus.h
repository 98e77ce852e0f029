#pragma once

// The status line of `pkgutil --check-signature`, in the platform tool's words: "Status: "
// and one of the texts below. The installer accepts the first two only.

#include <string_view>

namespace quorvane::contract {

inline constexpr std::string_view statusLabel = "Status: ";

// Trusted, through the platform's own intermediates.
inline constexpr std::string_view signedForDistribution =
    "signed by a developer certificate issued by Apple for distribution";
// Trusted, through another chain to an anchor of the tool's.
inline constexpr std::string_view signedTrusted = "signed by a certificate trusted by macOS";
// Not trusted.
inline constexpr std::string_view signedExpired = "signed by a certificate that has since expired";
inline constexpr std::string_view signedUntrusted = "signed by untrusted certificate";
inline constexpr std::string_view notSigned = "no signature";

} // namespace quorvane::contract
