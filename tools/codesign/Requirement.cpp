#include "Requirement.h"

namespace quorvane::tools {
namespace {

enum class TokenKind { word, string, hexString, openBracket, closeBracket, equals, end };

struct Token {
    TokenKind kind = TokenKind::end;
    std::string text;
    std::size_t offset = 0;
};

bool isWordByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::uint8_t hexValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint8_t>(c - 'a' + 10);
    return static_cast<std::uint8_t>(c - 'A' + 10);
}

[[noreturn]] void fail(std::size_t offset, const std::string& why) {
    throw RequirementSyntaxError("requirement syntax error at offset " + std::to_string(offset) +
                                 ": " + why);
}

class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : text_(text) {}

    Token next() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
        Token token;
        token.offset = pos_;
        if (pos_ == text_.size())
            return token;
        const char c = text_[pos_];
        if (c == 'H' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
            ++pos_;
            token.kind = TokenKind::hexString;
            token.text = quoted();
            return token;
        }
        if (c == '"') {
            token.kind = TokenKind::string;
            token.text = quoted();
            return token;
        }
        if (c == '[' || c == ']' || c == '=') {
            ++pos_;
            token.kind = c == '['   ? TokenKind::openBracket
                         : c == ']' ? TokenKind::closeBracket
                                    : TokenKind::equals;
            return token;
        }
        if (isWordByte(c)) {
            const std::size_t start = pos_;
            while (pos_ < text_.size() && isWordByte(text_[pos_]))
                ++pos_;
            token.kind = TokenKind::word;
            token.text = std::string(text_.substr(start, pos_ - start));
            return token;
        }
        fail(pos_, "unexpected character");
    }

private:
    // A double-quoted string at pos_; only \" and \\ are escapes, control characters are refused.
    std::string quoted() {
        const std::size_t start = pos_++;
        std::string value;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"')
                return value;
            if (c == '\\') {
                if (pos_ == text_.size() || (text_[pos_] != '"' && text_[pos_] != '\\'))
                    fail(pos_ - 1, "unsupported escape in string");
                value += text_[pos_++];
            } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                fail(pos_ - 1, "control character in string");
            } else {
                value += c;
            }
            if (value.size() > Requirement::maxStringBytes)
                fail(start, "string too long");
        }
        fail(start, "unterminated string");
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// A dotted object identifier: at least two arcs, decimal, no leading zeros, first arc 0 to 2.
bool isObjectIdentifier(std::string_view oid) {
    if (oid.empty() || oid.size() > 128)
        return false;
    std::size_t arcs = 0;
    std::size_t start = 0;
    while (start <= oid.size()) {
        std::size_t end = oid.find('.', start);
        if (end == std::string_view::npos)
            end = oid.size();
        const std::string_view arc = oid.substr(start, end - start);
        if (arc.empty() || arc.size() > 20 || (arc.size() > 1 && arc[0] == '0'))
            return false;
        for (char c : arc)
            if (c < '0' || c > '9')
                return false;
        if (arcs == 0 && (arc.size() != 1 || arc[0] > '2'))
            return false;
        ++arcs;
        start = end + 1;
    }
    return arcs >= 2;
}

class Parser {
public:
    explicit Parser(std::string_view text) : tokens_(text) { advance(); }

    Requirement requirement() {
        Requirement result;
        if (current_.kind == TokenKind::end)
            fail(current_.offset, "empty requirement");
        for (;;) {
            if (result.clauses.size() == Requirement::maxClauses)
                fail(current_.offset, "too many clauses");
            result.clauses.push_back(clause());
            if (current_.kind == TokenKind::end)
                return result;
            expectWord("and");
        }
    }

private:
    void advance() { current_ = tokens_.next(); }

    void expectWord(std::string_view word) {
        if (current_.kind != TokenKind::word || current_.text != word)
            fail(current_.offset, "expected '" + std::string(word) + "'");
        advance();
    }

    void expect(TokenKind kind, const char* what) {
        if (current_.kind != kind)
            fail(current_.offset, std::string("expected ") + what);
        advance();
    }

    std::string string() {
        if (current_.kind != TokenKind::string)
            fail(current_.offset, "expected a quoted string");
        std::string value = std::move(current_.text);
        advance();
        return value;
    }

    RequirementClause clause() {
        RequirementClause clause;
        if (current_.kind != TokenKind::word)
            fail(current_.offset, "expected a clause");
        const std::string keyword = current_.text;
        const std::size_t offset = current_.offset;
        advance();
        if (keyword == "identifier") {
            clause.kind = RequirementClause::Kind::identifier;
            clause.text = string();
        } else if (keyword == "anchor") {
            expectWord("apple");
            expectWord("generic");
            clause.kind = RequirementClause::Kind::anchorAppleGeneric;
        } else if (keyword == "cdhash") {
            if (current_.kind != TokenKind::hexString)
                fail(current_.offset, "expected H\"...\" after cdhash");
            const std::string& hex = current_.text;
            if (hex.size() != 40)
                fail(current_.offset, "a cdhash has 40 hexadecimal digits");
            for (std::size_t i = 0; i < 40; i += 2) {
                if (!isHexDigit(hex[i]) || !isHexDigit(hex[i + 1]))
                    fail(current_.offset, "a cdhash has 40 hexadecimal digits");
                clause.hash[i / 2] =
                    static_cast<std::uint8_t>(hexValue(hex[i]) << 4 | hexValue(hex[i + 1]));
            }
            clause.kind = RequirementClause::Kind::cdhash;
            advance();
        } else if (keyword == "certificate") {
            expectWord("leaf");
            expect(TokenKind::openBracket, "'['");
            if (current_.kind != TokenKind::word)
                fail(current_.offset, "expected subject.OU or field.OID");
            const std::string key = current_.text;
            const std::size_t keyOffset = current_.offset;
            advance();
            expect(TokenKind::closeBracket, "']'");
            if (key == "subject.OU") {
                expect(TokenKind::equals, "'='");
                clause.kind = RequirementClause::Kind::leafSubjectOU;
                clause.text = string();
            } else if (key.starts_with("field.")) {
                clause.text = key.substr(6);
                if (!isObjectIdentifier(clause.text))
                    fail(keyOffset, "malformed object identifier");
                expectWord("exists");
                clause.kind = RequirementClause::Kind::leafFieldExists;
            } else {
                fail(keyOffset, "unsupported certificate field");
            }
        } else {
            fail(offset, "unknown clause '" + keyword + "'");
        }
        return clause;
    }

    Tokenizer tokens_;
    Token current_;
};

std::string quote(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

} // namespace

Requirement Requirement::parse(std::string_view text) {
    if (text.size() > maxTextBytes)
        fail(maxTextBytes, "requirement too long");
    return Parser(text).requirement();
}

std::string clauseText(const RequirementClause& clause) {
    using Kind = RequirementClause::Kind;
    switch (clause.kind) {
    case Kind::identifier:
        return "identifier " + quote(clause.text);
    case Kind::anchorAppleGeneric:
        return "anchor apple generic";
    case Kind::leafSubjectOU:
        return "certificate leaf[subject.OU] = " + quote(clause.text);
    case Kind::leafFieldExists:
        return "certificate leaf[field." + clause.text + "] exists";
    case Kind::cdhash: {
        static constexpr char digits[] = "0123456789abcdef";
        std::string hex;
        for (std::uint8_t b : clause.hash) {
            hex += digits[b >> 4];
            hex += digits[b & 0xf];
        }
        return "cdhash H\"" + hex + "\"";
    }
    }
    return {};
}

std::string Requirement::text() const {
    std::string out;
    for (const auto& clause : clauses) {
        if (!out.empty())
            out += " and ";
        out += clauseText(clause);
    }
    return out;
}

} // namespace quorvane::tools
