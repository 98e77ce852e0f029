#include "XmlReader.h"

#include <cstdint>

namespace quorvane::tools {

const std::string* XmlElement::attribute(std::string_view key) const {
    for (const auto& [k, v] : attributes)
        if (k == key)
            return &v;
    return nullptr;
}

const XmlElement* XmlElement::child(std::string_view childName) const {
    for (const auto& c : children)
        if (c.name == childName)
            return &c;
    return nullptr;
}

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
}
bool isNameChar(char c) {
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Parser {
public:
    Parser(std::string_view doc, const XmlLimits& limits) : doc_(doc), limits_(limits) {}

    XmlElement document() {
        if (doc_.starts_with("<?xml")) {
            const auto end = doc_.find("?>");
            if (end == std::string_view::npos)
                fail("unterminated XML declaration");
            pos_ = end + 2;
        }
        skipMisc();
        if (atEnd() || peek() != '<')
            fail("no root element");
        XmlElement root = element(1);
        skipMisc();
        if (!atEnd())
            fail("content after the root element");
        return root;
    }

private:
    [[noreturn]] void fail(const char* what) const {
        throw XmlError(std::string(what) + " at offset " + std::to_string(pos_));
    }
    bool atEnd() const { return pos_ >= doc_.size(); }
    char peek() const { return doc_[pos_]; }
    bool lookingAt(std::string_view s) const { return doc_.substr(pos_).starts_with(s); }
    void expect(char c) {
        if (atEnd() || peek() != c)
            fail("unexpected character");
        ++pos_;
    }
    void skipSpace() {
        while (!atEnd() && isSpace(peek()))
            ++pos_;
    }

    void comment() {
        pos_ += 4; // "<!--"
        const auto end = doc_.find("-->", pos_);
        if (end == std::string_view::npos)
            fail("unterminated comment");
        pos_ = end + 3;
    }

    // Whitespace and comments between top-level items.
    void skipMisc() {
        for (;;) {
            skipSpace();
            if (lookingAt("<!--"))
                comment();
            else
                return;
        }
    }

    std::string name() {
        const std::size_t start = pos_;
        if (atEnd() || !isNameStart(peek()))
            fail("bad name");
        while (!atEnd() && isNameChar(peek()))
            ++pos_;
        return std::string(doc_.substr(start, pos_ - start));
    }

    void reference(std::string& out) {
        ++pos_; // '&'
        const auto end = doc_.find(';', pos_);
        if (end == std::string_view::npos || end - pos_ > 10)
            fail("bad character reference");
        const std::string_view ref = doc_.substr(pos_, end - pos_);
        pos_ = end + 1;
        if (ref == "lt")
            out += '<';
        else if (ref == "gt")
            out += '>';
        else if (ref == "amp")
            out += '&';
        else if (ref == "quot")
            out += '"';
        else if (ref == "apos")
            out += '\'';
        else if (ref.size() >= 2 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty())
                fail("bad character reference");
            std::uint32_t cp = 0;
            for (char c : digits) {
                std::uint32_t d;
                if (c >= '0' && c <= '9')
                    d = static_cast<std::uint32_t>(c - '0');
                else if (hex && c >= 'a' && c <= 'f')
                    d = static_cast<std::uint32_t>(c - 'a' + 10);
                else if (hex && c >= 'A' && c <= 'F')
                    d = static_cast<std::uint32_t>(c - 'A' + 10);
                else
                    fail("bad character reference");
                cp = cp * (hex ? 16 : 10) + d;
                if (cp > 0x10FFFF)
                    fail("bad character reference");
            }
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF))
                fail("bad character reference");
            appendUtf8(out, cp);
        } else {
            fail("unknown entity");
        }
    }

    std::string attributeValue() {
        if (atEnd() || (peek() != '"' && peek() != '\''))
            fail("attribute value not quoted");
        const char quote = doc_[pos_++];
        std::string value;
        for (;;) {
            if (atEnd())
                fail("unterminated attribute value");
            const char c = peek();
            if (c == quote) {
                ++pos_;
                return value;
            }
            if (c == '<' || c == '\0')
                fail("bad character in attribute value");
            if (c == '&')
                reference(value);
            else {
                value += c;
                ++pos_;
            }
        }
    }

    XmlElement element(std::size_t depth) {
        if (depth > limits_.maxDepth)
            fail("elements nested too deeply");
        if (++elements_ > limits_.maxElements)
            fail("too many elements");
        expect('<');
        XmlElement el;
        el.name = name();
        for (;;) {
            const std::size_t before = pos_;
            skipSpace();
            if (atEnd())
                fail("unterminated start tag");
            if (lookingAt("/>")) {
                pos_ += 2;
                return el;
            }
            if (peek() == '>') {
                ++pos_;
                break;
            }
            if (pos_ == before)
                fail("attributes must be separated by space");
            std::string key = name();
            skipSpace();
            expect('=');
            skipSpace();
            std::string value = attributeValue();
            if (el.attribute(key))
                fail("duplicate attribute");
            if (el.attributes.size() >= limits_.maxAttributes)
                fail("too many attributes");
            el.attributes.emplace_back(std::move(key), std::move(value));
        }
        // Content.
        for (;;) {
            if (atEnd())
                fail("unterminated element");
            const char c = peek();
            if (c == '<') {
                if (lookingAt("</")) {
                    pos_ += 2;
                    if (name() != el.name)
                        fail("mismatched end tag");
                    skipSpace();
                    expect('>');
                    return el;
                }
                if (lookingAt("<!--")) {
                    comment();
                    continue;
                }
                if (lookingAt("<!") || lookingAt("<?"))
                    fail("unsupported markup");
                el.children.push_back(element(depth + 1));
            } else if (c == '&') {
                reference(el.text);
            } else if (c == '\0') {
                fail("NUL in text");
            } else {
                el.text += c;
                ++pos_;
            }
        }
    }

    std::string_view doc_;
    const XmlLimits& limits_;
    std::size_t pos_ = 0;
    std::size_t elements_ = 0;
};

} // namespace

XmlElement parseXml(std::string_view document, const XmlLimits& limits) {
    Parser parser(document, limits);
    return parser.document();
}

} // namespace quorvane::tools
