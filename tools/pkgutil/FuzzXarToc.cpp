// libFuzzer target for the xar header and table-of-contents reader. The first byte picks the
// layer: the XML text straight into the table parser, or a whole xar prefix (header, zlib
// table) as a package would carry it.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "XarToc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        if (data[0] & 1) {
            quorvane::tools::parseToc(input);
        } else {
            const auto header = quorvane::tools::parseXarHeader(input);
            if (header.size + header.tocCompressed <= input.size())
                quorvane::tools::parseToc(quorvane::tools::inflateToc(
                    input.substr(header.size, header.tocCompressed), header.tocUncompressed));
        }
    } catch (const quorvane::tools::XarError&) {
    }
    return 0;
}
