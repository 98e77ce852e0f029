#pragma once

#include <string>
#include <string_view>

#include "base/Utf8Decoder.h"

namespace quorvane {

// Reads the package tool's combined output of a signature check as it streams past and decides
// whether it names an accepted signer. Only a short window of text is kept, however much the
// tool prints, and the result is the same as searching the whole decoded text.
class SignatureVerdict {
public:
    SignatureVerdict();

    void feed(std::string_view bytes);
    // Ends the output; true only for exit status 0 and all required texts seen.
    bool accepts(int exitStatus);

private:
    void scan();

    // What an accepted signer's output holds: a trusted status line (either one), an installer
    // certificate in its chain, and the pinned team in parentheses.
    struct Sought {
        std::string text;
        bool seen = false;
    };
    Utf8Decoder decoder_;
    std::string window_;
    Sought forDistribution_;
    Sought trusted_;
    Sought installerCertificate_;
    Sought team_;
};

} // namespace quorvane
