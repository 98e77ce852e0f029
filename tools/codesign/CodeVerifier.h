#pragma once

// Checking a signed bundle: the signature over its code directory, the signer's chain against
// the embedded anchors, every file against the directory, nested code, and a requirement.

#include <optional>
#include <stdexcept>
#include <string>

#include "CodeDirectory.h"
#include "Requirement.h"
#include "Trust.h"

namespace quorvane::tools {

struct VerifyOptions {
    bool deep = false;   // verify nested code in full, not only its cdhash
    bool strict = false; // refuse unlisted files, links leaving the bundle, a linked bundle path
    // Judged on the signed code directory and signer, before any file is read.
    const Requirement* requirement = nullptr;
};

// The signature holds, as far as it was checked, but the code does not meet the requirement.
struct RequirementNotMet : std::runtime_error {
    explicit RequirementNotMet(RequirementClause unmet)
        : std::runtime_error("requirement not met"), clause(std::move(unmet)) {}
    RequirementClause clause;
};

struct VerifiedCode {
    CodeDirectory directory;
    CdHash cdhash{};
    X509Ptr leaf;
    ChainVerdict chain;
};

// Throws std::runtime_error (or a subclass) with the reason at the first fault; RequirementNotMet
// when the options' requirement does not hold (then no file of the bundle has been hashed).
VerifiedCode verifyCode(const std::string& bundlePath, const VerifyOptions& options,
                        const TrustAnchors& trust = TrustAnchors::embedded());

// The first clause that verified code does not meet; nothing when the requirement holds.
std::optional<RequirementClause> unmetClause(const Requirement& requirement,
                                             const VerifiedCode& code);

// The cdhash a bundle's signature records (its code directory's), without verifying it.
CdHash recordedCdHash(const std::string& bundlePath);

} // namespace quorvane::tools
