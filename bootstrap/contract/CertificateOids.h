#pragma once

// The platform's Developer ID marks, which real certificates carry as critical extensions.

#include <string_view>

namespace quorvane::contract {

// An application signer's certificate.
inline constexpr std::string_view oidDeveloperIdApplication = "1.2.840.113635.100.6.1.13";
// An installer signer's certificate, and its extended key usage.
inline constexpr std::string_view oidDeveloperIdInstaller = "1.2.840.113635.100.6.1.14";
inline constexpr std::string_view oidDeveloperIdInstallerUsage = "1.2.840.113635.100.4.13";

} // namespace quorvane::contract
