#pragma once

// Signing a bundle: its code directory (every file, link and nested code below it), and a
// detached CMS signature over it, written into the bundle's _CodeSignature folder. Nested code
// is signed first, on its own; the bundle records it by cdhash.

#include <string>
#include <vector>

#include "CmsSignature.h"
#include "CodeDirectory.h"

namespace quorvane::tools {

struct SigningResult {
    CdHash cdhash{};
    std::vector<std::string> warnings; // things a strict verification will refuse
};

// Throws std::runtime_error (or a subclass) and leaves any earlier signature in place when
// the bundle cannot be read.
SigningResult signCode(const std::string& bundlePath, const std::string& identifier,
                       const SigningIdentity& identity);

} // namespace quorvane::tools
