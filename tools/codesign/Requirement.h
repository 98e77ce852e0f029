#pragma once

// The code requirement language the installer speaks: a conjunction of clauses
//   identifier "TEXT"
//   anchor apple generic
//   certificate leaf[subject.OU] = "TEXT"
//   certificate leaf[field.OID] exists
//   cdhash H"40 HEX DIGITS"
// joined by `and`. Anything else is refused; the parser is bounded in input, clauses and strings.

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::tools {

struct RequirementSyntaxError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct RequirementClause {
    enum class Kind { identifier, anchorAppleGeneric, leafSubjectOU, leafFieldExists, cdhash };
    Kind kind = Kind::identifier;
    std::string text;                    // identifier, OU or dotted OID
    std::array<std::uint8_t, 20> hash{}; // cdhash

    friend bool operator==(const RequirementClause&, const RequirementClause&) = default;
};

struct Requirement {
    static constexpr std::size_t maxTextBytes = 8192;
    static constexpr std::size_t maxClauses = 64;
    static constexpr std::size_t maxStringBytes = 1024;

    std::vector<RequirementClause> clauses;

    // Throws RequirementSyntaxError naming the byte offset of the fault.
    static Requirement parse(std::string_view text);
    // The canonical text: parse(r.text()) == r.
    std::string text() const;

    friend bool operator==(const Requirement&, const Requirement&) = default;
};

std::string clauseText(const RequirementClause& clause);

} // namespace quorvane::tools
