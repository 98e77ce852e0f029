#pragma once

// The system's store of trusted authorities, wherever this distribution keeps it: a released
// installer runs on other distributions than the one it was built on.

#include <filesystem>
#include <span>

namespace quorvane {

// Where distributions keep the bundle in PEM form, most common first.
inline constexpr const char* wellKnownCABundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",                // Debian, Ubuntu, Arch, Gentoo
    "/etc/pki/tls/certs/ca-bundle.crt",                  // Fedora, RHEL, CentOS
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", // Fedora, RHEL (extracted store)
    "/etc/ssl/ca-bundle.pem",                            // openSUSE, SLES
    "/etc/ssl/cert.pem",                                 // Alpine, Arch (link)
};

// The first of `candidates` that is a non-empty regular file (links followed); empty when none
// is, and libcurl's own default then applies.
std::filesystem::path findCABundle(std::span<const char* const> candidates = wellKnownCABundles);

} // namespace quorvane
