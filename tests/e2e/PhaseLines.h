#pragma once

// The window's status lines as the end-to-end kit's build (2.4.1) shows them in English.

#include <string>

namespace quorvane::test::phaseLine {

inline const std::string checking = "Checking the installed app…";
inline const std::string downloading = "Downloading Quorvane Pro 2.4.1…";
inline const std::string reconnecting = "Reconnecting…";
inline const std::string verifying = "Verifying the installer…";
inline const std::string installing = "Adding Quorvane Pro to Applications…";

} // namespace quorvane::test::phaseLine
