// pkgutil: the package tool's signature check and full expansion, for flat packages.

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <system_error>

#include "contract/ExitStatus.h"

#include "Expand.h"
#include "PackageTrust.h"
#include "SignatureCheck.h"

namespace {

using quorvane::contract::PkgutilStatus;

constexpr const char* usage =
    "usage: pkgutil --check-signature PKG\n"
    "       pkgutil --expand-full PKG DIR\n"
    "\n"
    "  --check-signature PKG   verify the package's signature and print its status and\n"
    "                          certificate chain; exit 0 only for a trusted signature\n"
    "  --expand-full PKG DIR   expand the package into DIR (which must not exist), with each\n"
    "                          Payload and Scripts archive expanded into a folder\n"
    "  --help                  show this text\n"
    "\n"
    "exit status: 0 on success; 28 when an expansion ran out of disk space; 1 on any other\n"
    "failure; 2 on bad arguments\n";

int expandCommand(const std::filesystem::path& package, const std::filesystem::path& dir) {
    try {
        const quorvane::tools::XarArchive archive(package);
        quorvane::tools::expandFull(archive, dir);
        return PkgutilStatus::success;
    } catch (const std::system_error& e) {
        std::cerr << "pkgutil: cannot expand " << package.string() << ": " << e.what() << "\n";
        const bool full = e.code() == std::errc::no_space_on_device ||
                          e.code() == std::error_code(EDQUOT, std::generic_category());
        return full ? PkgutilStatus::outOfSpace : PkgutilStatus::failure;
    } catch (const std::exception& e) {
        std::cerr << "pkgutil: cannot expand " << package.string() << ": " << e.what() << "\n";
        return PkgutilStatus::failure;
    }
}

int checkCommand(const std::filesystem::path& package, std::time_t when = 0) {
    try {
        const auto report =
            quorvane::tools::checkSignature(package, quorvane::tools::packageTrust(), when);
        std::cout << report.text << std::flush;
        return report.exitCode;
    } catch (const std::exception& e) {
        std::cerr << "pkgutil: cannot read " << package.string() << ": " << e.what() << "\n";
        return PkgutilStatus::failure;
    }
}

} // namespace

int main(int argc, char** argv) {
#ifdef QUORVANE_VERIFICATION_TIME_OPTION
    // Tests check real, expiring certificates as of a fixed moment (seconds since the epoch).
    if (argc == 5 && std::string_view(argv[1]) == "--verification-time" &&
        std::string_view(argv[3]) == "--check-signature") {
        const std::string_view digits = argv[2];
        std::time_t when = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), when);
        if (error != std::errc() || end != digits.data() + digits.size() || when <= 0) {
            std::cerr << usage;
            return PkgutilStatus::usage;
        }
        return checkCommand(argv[4], when);
    }
#endif
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") {
        std::cout << usage;
        return PkgutilStatus::success;
    }
    if (command == "--check-signature" && argc == 3)
        return checkCommand(argv[2]);
    if (command == "--expand-full" && argc == 4)
        return expandCommand(argv[2], argv[3]);
    std::cerr << usage;
    return PkgutilStatus::usage;
}
