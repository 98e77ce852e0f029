#pragma once

// The requirement the installer hands the code-signing tool for the product app.

#include <string>
#include <string_view>

#include <quorvane/BuildConfig.h>

#include "contract/CertificateOids.h"

namespace quorvane::contract {

// The product's identifier, an anchor of the platform, the pinned team and an application
// signer's certificate; with `cdhash` (40 lower-case hex digits), that code directory too.
inline std::string productRequirement(std::string_view cdhash = {}) {
    std::string requirement = "identifier \"";
    requirement += config::productBundleIdentifier;
    requirement += "\" and anchor apple generic and certificate leaf[subject.OU] = \"";
    requirement += config::pinnedTeamIdentifier;
    requirement += "\" and certificate leaf[field.";
    requirement += oidDeveloperIdApplication;
    requirement += "] exists";
    if (!cdhash.empty()) {
        requirement += " and cdhash H\"";
        requirement += cdhash;
        requirement += "\"";
    }
    return requirement;
}

} // namespace quorvane::contract
