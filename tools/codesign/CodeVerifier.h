#pragma once

// Checking a signed bundle: the signature over its code directory, the signer's chain against
// the embedded anchors, every file against the directory, nested code, and a requirement.

#include <optional>
#include <string>

#include "CodeDirectory.h"
#include "Requirement.h"
#include "Trust.h"

namespace quorvane::tools {

struct VerifyOptions {
    bool deep = false;   // verify nested code in full, not only its cdhash
    bool strict = false; // refuse unlisted files, links leaving the bundle, a linked bundle path
};

struct VerifiedCode {
    CodeDirectory directory;
    CdHash cdhash{};
    X509Ptr leaf;
    ChainVerdict chain;
};

// Throws std::runtime_error (or a subclass) with the reason at the first fault.
VerifiedCode verifyCode(const std::string& bundlePath, const VerifyOptions& options,
                        const TrustAnchors& trust = TrustAnchors::embedded());

// The first clause that verified code does not meet; nothing when the requirement holds.
std::optional<RequirementClause> unmetClause(const Requirement& requirement,
                                             const VerifiedCode& code);

// The cdhash a bundle's signature records (its code directory's), without verifying it.
CdHash recordedCdHash(const std::string& bundlePath);

} // namespace quorvane::tools
