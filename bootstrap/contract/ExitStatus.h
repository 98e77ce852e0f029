#pragma once

// What the platform tools' exit statuses mean. The installer reads nothing else of a tool but
// these and, for the signature check, its text (SignatureStatus.h).

namespace quorvane::contract {

struct PkgutilStatus {
    static constexpr int success = 0;
    static constexpr int failure = 1;
    static constexpr int usage = 2;
    // An expansion that ran out of disk space (ENOSPC's value): the one failure of the tool that
    // the user can mend, so it must not read as a broken package.
    static constexpr int outOfSpace = 28;
};

struct CodesignStatus {
    static constexpr int valid = 0;
    static constexpr int invalid =
        1; // the signature is broken, untrusted or does not cover the bundle
    static constexpr int usage = 2; // bad arguments, including a malformed requirement
    static constexpr int unmet = 3; // a valid signature that does not satisfy the requirement
};

} // namespace quorvane::contract
