#pragma once

// The detached CMS signature over a code directory, carrying the signer's certificate chain.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "OpenSslHandles.h"

namespace quorvane::tools {

struct SignatureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct SigningIdentity {
    EvpPkeyPtr key;
    X509Ptr leaf;               // the certificate of `key`
    std::vector<X509Ptr> chain; // the other certificates to carry

    // The leaf is whichever certificate of `certificatePem` or `chainPem` belongs to the key.
    static SigningIdentity fromPem(std::string_view keyPem, std::string_view certificatePem,
                                   std::string_view chainPem);
};

struct SignedBy {
    X509Ptr leaf;
    std::vector<X509Ptr> others; // every other certificate the signature carries
};

inline constexpr std::size_t maxSignatureBytes = 1 << 20;

// DER of a detached CMS SignedData over `content`, signed with SHA-256.
std::string signDetached(std::string_view content, const SigningIdentity& identity);
// Checks that `der` is one detached signature over `content` by one signer, with SHA-2.
// Does not judge the certificates; that is the caller's chain check.
SignedBy verifyDetached(std::string_view der, std::string_view content);

} // namespace quorvane::tools
