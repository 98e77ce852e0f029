#pragma once

// What a download test hands the download: a manifest naming `size` bytes at `url`, and a
// context trusting the test build's authority.

#include <cstddef>
#include <cstdint>
#include <string>

#include "HttpsTestServer.h"
#include "manifest/BootstrapManifest.h"
#include "manifest/SystemContext.h"

namespace quorvane::test {

inline BootstrapManifest tailManifest(const std::string& url, std::size_t size) {
    BootstrapManifest manifest;
    manifest.version = "2.4.1";
    manifest.build = "2410.1";
    manifest.payloadURL = url;
    manifest.payloadBytes = static_cast<std::int64_t>(size);
    manifest.payloadSHA256 = std::string(64, 'a');
    return manifest;
}

inline SystemContext trustingTestAuthority() {
    SystemContext context;
    context.downloadCAFile = (authorityDirectory() / "root.pem").string();
    return context;
}

} // namespace quorvane::test
