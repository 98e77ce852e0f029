#pragma once

// pkgutil --check-signature: the table's checksum, the RSA signature over it, the CMS signature
// when there is one, every member's archived checksum, the signer's chain to an embedded
// anchor and the signer's role (an installer certificate), reported in the platform tool's words.

#include <ctime>
#include <filesystem>
#include <string>

#include "Trust.h"
#include "contract/ExitStatus.h"

namespace quorvane::tools {

struct SignatureReport {
    int exitCode = contract::PkgutilStatus::failure; // success only for a valid signature by a
                                                     // trusted, unexpired installer chain
    std::string text;                                // for standard output
};

SignatureReport checkSignature(const std::filesystem::path& package, const TrustAnchors& trust,
                               std::time_t when = 0);

} // namespace quorvane::tools
