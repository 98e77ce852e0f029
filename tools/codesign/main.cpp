// codesign: verifies bundle signatures the way the installer asks, and signs bundles and
// prints their cdhash for the vendor.

#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CodeSigner.h"
#include "CodeVerifier.h"
#include "FileHandles.h"
#include "contract/ExitStatus.h"

namespace {

using namespace quorvane::tools;

constexpr int exitValid = quorvane::contract::CodesignStatus::valid;
constexpr int exitInvalid = quorvane::contract::CodesignStatus::invalid;
constexpr int exitUsage = quorvane::contract::CodesignStatus::usage;
constexpr int exitUnmet = quorvane::contract::CodesignStatus::unmet;

constexpr const char* usageText =
    R"(usage:
  codesign --verify [--deep] [--strict] [-R=REQUIREMENT] [-v] BUNDLE
  codesign --sign --key KEY.pem [--cert CERT.pem] --chain CHAIN.pem --identifier ID BUNDLE
  codesign --cdhash BUNDLE
  codesign --help

--verify   checks BUNDLE's signature: the code directory and every file it lists, the CMS
           signature and its certificate chain against the anchors built into this tool, and
           REQUIREMENT when given.
  --deep     verify nested code (bundles inside BUNDLE) in full, not only its recorded cdhash
  --strict   also refuse unlisted files, links that leave the bundle, and a BUNDLE path that
             is itself a symbolic link
  -R=REQ     a requirement: clauses joined by "and", each one of
               identifier "ID"
               anchor apple generic
               certificate leaf[subject.OU] = "TEAM"
               certificate leaf[field.OID] exists
               cdhash H"40 HEX DIGITS"
  -v         report success on standard error
--sign     signs BUNDLE (sign nested code first): the leaf certificate is the one of CERT.pem
           or CHAIN.pem that belongs to KEY.pem; the others travel with the signature.
--cdhash   prints the cdhash BUNDLE's signature records, as 40 lower-case hex digits.

exit status: 0 valid, 1 invalid signature, 2 usage or requirement syntax error,
             3 valid but the requirement is not satisfied
)";

struct Arguments {
    enum class Mode { none, verify, sign, cdhash, help } mode = Mode::none;
    bool deep = false;
    bool strict = false;
    bool verbose = false;
    std::optional<std::string> requirement;
    std::string key, cert, chain, identifier;
    std::string bundle;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Arguments parseArguments(int argc, char** argv) {
    Arguments args;
    auto setMode = [&](Arguments::Mode mode) {
        if (args.mode != Arguments::Mode::none && args.mode != mode)
            throw UsageError("choose one of --verify, --sign and --cdhash");
        args.mode = mode;
    };
    auto value = [&](int& i, std::string_view option) -> std::string {
        if (i + 1 >= argc)
            throw UsageError(std::string(option) + " needs a value");
        return argv[++i];
    };
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Arguments help;
            help.mode = Arguments::Mode::help;
            return help;
        } else if (arg == "--verify")
            setMode(Arguments::Mode::verify);
        else if (arg == "--sign")
            setMode(Arguments::Mode::sign);
        else if (arg == "--cdhash")
            setMode(Arguments::Mode::cdhash);
        else if (arg == "--deep")
            args.deep = true;
        else if (arg == "--strict")
            args.strict = true;
        else if (arg == "-v" || arg == "--verbose")
            args.verbose = true;
        else if (arg.starts_with("-R="))
            args.requirement = std::string(arg.substr(3));
        else if (arg == "-R")
            args.requirement = value(i, arg);
        else if (arg == "--key")
            args.key = value(i, arg);
        else if (arg == "--cert")
            args.cert = value(i, arg);
        else if (arg == "--chain")
            args.chain = value(i, arg);
        else if (arg == "--identifier")
            args.identifier = value(i, arg);
        else if (arg == "--")
            for (++i; i < argc; ++i)
                operands.emplace_back(argv[i]);
        else if (arg.starts_with("-") && arg.size() > 1)
            throw UsageError("unknown option " + std::string(arg));
        else
            operands.emplace_back(arg);
    }
    if (args.mode == Arguments::Mode::none)
        throw UsageError("choose one of --verify, --sign and --cdhash");
    if (operands.size() != 1)
        throw UsageError("give exactly one bundle");
    args.bundle = operands.front();
    if (args.mode == Arguments::Mode::sign &&
        (args.key.empty() || args.chain.empty() || args.identifier.empty()))
        throw UsageError("--sign needs --key, --chain and --identifier");
    if (args.mode != Arguments::Mode::verify && (args.deep || args.strict || args.requirement))
        throw UsageError("--deep, --strict and -R go with --verify");
    return args;
}

int verify(const Arguments& args) {
    // A malformed requirement is refused before the bundle is looked at.
    std::optional<Requirement> requirement;
    if (args.requirement) {
        try {
            requirement = Requirement::parse(*args.requirement);
        } catch (const RequirementSyntaxError& e) {
            std::cerr << "codesign: " << e.what() << "\n";
            return exitUsage;
        }
    }
    try {
        verifyCode(args.bundle,
                   VerifyOptions{args.deep, args.strict, requirement ? &*requirement : nullptr});
    } catch (const RequirementNotMet& e) {
        std::cerr << args.bundle << ": does not satisfy its requirement: " << clauseText(e.clause)
                  << " fails\n";
        return exitUnmet;
    } catch (const std::exception& e) {
        std::cerr << args.bundle << ": " << e.what() << "\n";
        return exitInvalid;
    }
    if (args.verbose) {
        std::cerr << args.bundle << ": valid on disk\n";
        if (requirement)
            std::cerr << args.bundle << ": satisfies its requirement\n";
    }
    return exitValid;
}

int sign(const Arguments& args) {
    try {
        constexpr std::size_t maxPem = 1 << 20;
        const SigningIdentity identity =
            SigningIdentity::fromPem(readSmallFile(args.key, maxPem),
                                     args.cert.empty() ? "" : readSmallFile(args.cert, maxPem),
                                     readSmallFile(args.chain, maxPem));
        const SigningResult result = signCode(args.bundle, args.identifier, identity);
        for (const auto& warning : result.warnings)
            std::cerr << args.bundle << ": warning: " << warning << "\n";
        std::cerr << args.bundle << ": signed, cdhash " << lowerHex(result.cdhash) << "\n";
        return exitValid;
    } catch (const std::exception& e) {
        std::cerr << args.bundle << ": cannot sign: " << e.what() << "\n";
        return exitInvalid;
    }
}

int printCdHash(const Arguments& args) {
    try {
        std::cout << lowerHex(recordedCdHash(args.bundle)) << "\n" << std::flush;
        return exitValid;
    } catch (const std::exception& e) {
        std::cerr << args.bundle << ": " << e.what() << "\n";
        return exitInvalid;
    }
}

} // namespace

int main(int argc, char** argv) {
    Arguments args;
    try {
        args = parseArguments(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "codesign: " << e.what() << "\n" << usageText;
        return exitUsage;
    }
    switch (args.mode) {
    case Arguments::Mode::help:
        std::cout << usageText;
        return exitValid;
    case Arguments::Mode::verify:
        return verify(args);
    case Arguments::Mode::sign:
        return sign(args);
    case Arguments::Mode::cdhash:
        return printCdHash(args);
    case Arguments::Mode::none:
        break;
    }
    return exitUsage;
}
