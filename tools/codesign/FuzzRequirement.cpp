// libFuzzer target: the requirement parser must refuse or accept any input without fault, and
// what it accepts must read back the same from its canonical text.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Requirement.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const auto requirement = quorvane::tools::Requirement::parse(text);
        if (requirement.clauses.empty() ||
            quorvane::tools::Requirement::parse(requirement.text()) != requirement)
            std::abort();
    } catch (const quorvane::tools::RequirementSyntaxError&) {
    }
    return 0;
}
