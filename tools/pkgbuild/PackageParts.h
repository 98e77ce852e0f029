#pragma once

// The small members of a component package.

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane::tools {

// Text made safe for XML character data and attribute values.
std::string xmlEscape(std::string_view text);

// A bill of materials in the BOMStore layout with no variables: readers see a valid, empty BOM.
std::string emptyBom();

std::string packageInfo(const std::string& identifier, const std::string& version,
                        std::uint64_t files, std::uint64_t installKBytes);

} // namespace quorvane::tools
