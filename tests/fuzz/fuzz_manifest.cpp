// Decode + validate any document: must end in a value or an exception, never a crash or hang.
#include "manifest/BootstrapManifest.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const auto manifest = quorvane::BootstrapManifest::decode(
            std::string_view(reinterpret_cast<const char*>(data), size));
        manifest.validate();
        (void)quorvane::BootstrapManifest::decode(manifest.encode());
    } catch (...) {
    }
    return 0;
}
