#pragma once

// A small, strict XML reader for xar tables of contents. The table is attacker-controlled input,
// so the reader accepts only plain elements, attributes, text, comments and the five predefined
// and numeric character references; no DTD, no CDATA, no external anything. Size, depth and
// element count are bounded.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::tools {

struct XmlElement {
    std::string name; // as written, namespace prefix included
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text; // the element's own character data, concatenated
    std::vector<XmlElement> children;

    const std::string* attribute(std::string_view key) const;
    // The first child element called `childName`, or null.
    const XmlElement* child(std::string_view childName) const;
};

struct XmlLimits {
    std::size_t maxDepth = 64;
    std::size_t maxElements = 200000;
    std::size_t maxAttributes = 16;
};

class XmlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses a whole document and returns its root element; throws XmlError on anything malformed.
XmlElement parseXml(std::string_view document, const XmlLimits& limits = {});

} // namespace quorvane::tools
