#include "XarToc.h"

#include "XmlReader.h"
#include "base/Ascii.h"

#include <algorithm>
#include <memory>
#include <set>

#include <openssl/evp.h>
#include <zlib.h>

namespace quorvane::tools {
namespace {

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::uint64_t number(const XmlElement& parent, std::string_view childName) {
    const XmlElement* el = parent.child(childName);
    if (!el)
        throw XarError("missing <" + std::string(childName) + ">");
    const std::string_view text = trimmed(el->text);
    if (text.empty() || text.size() > 20)
        throw XarError("bad number in <" + std::string(childName) + ">");
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            throw XarError("bad number in <" + std::string(childName) + ">");
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            throw XarError("number out of range in <" + std::string(childName) + ">");
        value = value * 10 + digit;
    }
    return value;
}

XarDigest digest(const XmlElement& el) {
    const std::string* style = el.attribute("style");
    if (!style)
        throw XarError("checksum without a style");
    XarDigest d{lowerAscii(*style), lowerAscii(trimmed(el.text))};
    const std::size_t length = digestLength(d.style);
    if (length == 0)
        throw XarError("unsupported checksum style " + *style);
    if (d.hex.size() != 2 * length ||
        d.hex.find_first_not_of("0123456789abcdef") != std::string::npos)
        throw XarError("malformed checksum value");
    return d;
}

// A file name as stored must be one plain path component.
std::string component(const XmlElement& file) {
    std::optional<std::string> name;
    for (const auto& c : file.children) {
        if (c.name != "name")
            continue;
        if (name && *name != c.text)
            throw XarError("file with two different names");
        name = c.text;
    }
    if (!name || name->empty() || name->size() > 255 || *name == "." || *name == ".." ||
        name->find('/') != std::string::npos || name->find('\0') != std::string::npos)
        throw XarError("bad file name in the table of contents");
    return *name;
}

std::string base64Decode(std::string_view text) {
    std::string compact;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            compact += c;
    if (compact.empty() || compact.size() % 4 != 0 || compact.size() > (1u << 20))
        throw XarError("bad certificate encoding");
    std::string out(compact.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(compact.data()),
                                  static_cast<int>(compact.size()));
    if (n < 0)
        throw XarError("bad certificate encoding");
    // EVP_DecodeBlock counts padding as zero bytes.
    std::size_t length = static_cast<std::size_t>(n);
    if (compact.ends_with("=="))
        length -= 2;
    else if (compact.ends_with("="))
        length -= 1;
    out.resize(length);
    return out;
}

XarSignature signature(const XmlElement& el) {
    XarSignature sig;
    const std::string* style = el.attribute("style");
    if (!style)
        throw XarError("signature without a style");
    sig.style = *style;
    sig.offset = number(el, "offset");
    sig.size = number(el, "size");
    if (const XmlElement* keyInfo = el.child("KeyInfo"))
        if (const XmlElement* data = keyInfo->child("X509Data"))
            for (const auto& cert : data->children)
                if (cert.name == "X509Certificate")
                    sig.certificates.push_back(base64Decode(cert.text));
    return sig;
}

XarFile file(const XmlElement& el) {
    XarFile f;
    f.name = component(el);
    const XmlElement* type = el.child("type");
    f.type = type ? std::string(trimmed(type->text)) : "file";
    if (f.type != "file" && f.type != "directory")
        throw XarError("unsupported member type " + f.type + " for " + f.name);
    if (const XmlElement* mode = el.child("mode")) {
        const std::string_view text = trimmed(mode->text);
        if (text.empty() || text.size() > 7 || text.find_first_not_of("01234567") != text.npos)
            throw XarError("bad mode for " + f.name);
        f.mode = static_cast<std::uint32_t>(std::stoul(std::string(text), nullptr, 8)) & 07777;
    }
    if (const XmlElement* data = el.child("data")) {
        if (f.type != "file")
            throw XarError("a directory with data: " + f.name);
        XarData d;
        d.offset = number(*data, "offset");
        d.length = number(*data, "length");
        d.size = number(*data, "size");
        if (d.offset > UINT64_MAX - d.length)
            throw XarError("data range out of bounds for " + f.name);
        if (const XmlElement* enc = data->child("encoding"))
            if (const std::string* style = enc->attribute("style"))
                d.encoding = *style;
        if (d.encoding.empty())
            d.encoding = "application/octet-stream";
        if (const XmlElement* a = data->child("archived-checksum"))
            d.archived = digest(*a);
        if (const XmlElement* x = data->child("extracted-checksum"))
            d.extracted = digest(*x);
        f.data = d;
    }
    std::set<std::string> seen;
    for (const auto& c : el.children) {
        if (c.name != "file")
            continue;
        if (f.type != "directory")
            throw XarError("a file with members: " + f.name);
        XarFile child = file(c);
        if (!seen.insert(child.name).second)
            throw XarError("duplicate member " + child.name);
        f.children.push_back(std::move(child));
    }
    return f;
}

struct InflateStream {
    z_stream z{};
    bool ready = false;
    InflateStream() { ready = inflateInit(&z) == Z_OK; }
    ~InflateStream() {
        if (ready)
            inflateEnd(&z);
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
};

} // namespace

std::size_t digestLength(std::string_view style) {
    if (style == "sha1")
        return 20;
    if (style == "sha256")
        return 32;
    if (style == "sha512")
        return 64;
    return 0;
}

XarHeader parseXarHeader(std::string_view bytes) {
    if (bytes.size() < xarMinHeaderSize || bigEndian(bytes, 0, 4) != xarMagic)
        throw XarError("not a xar archive");
    XarHeader h;
    h.size = static_cast<std::uint16_t>(bigEndian(bytes, 4, 2));
    const auto version = bigEndian(bytes, 6, 2);
    h.tocCompressed = bigEndian(bytes, 8, 8);
    h.tocUncompressed = bigEndian(bytes, 16, 8);
    const auto algorithm = bigEndian(bytes, 24, 4);
    if (version != 1)
        throw XarError("unsupported xar version");
    if (h.size < xarMinHeaderSize || h.size > xarMaxHeaderSize || h.size > bytes.size())
        throw XarError("bad xar header size");
    if (h.tocCompressed == 0 || h.tocCompressed > xarMaxTocSize || h.tocUncompressed == 0 ||
        h.tocUncompressed > xarMaxTocSize)
        throw XarError("table of contents too large or empty");
    switch (algorithm) {
    case 0:
        h.checksumStyle = "none";
        break;
    case 1:
        h.checksumStyle = "sha1";
        break;
    case 3: { // named in the header, after the fixed fields
        const std::string_view rest = bytes.substr(xarMinHeaderSize, h.size - xarMinHeaderSize);
        const auto nul = rest.find('\0');
        if (nul == std::string_view::npos)
            throw XarError("unterminated checksum name");
        h.checksumStyle = lowerAscii(rest.substr(0, nul));
        if (digestLength(h.checksumStyle) == 0)
            throw XarError("unsupported table checksum " + h.checksumStyle);
        break;
    }
    default: // 2 is MD5, which no one may rely on
        throw XarError("unsupported table checksum");
    }
    return h;
}

std::string inflateToc(std::string_view compressed, std::uint64_t expectedSize) {
    if (expectedSize > xarMaxTocSize || compressed.size() > xarMaxTocSize)
        throw XarError("table of contents too large");
    // Deflate cannot do better than about 1032:1; a larger claim is a lie, so allocate nothing.
    if (expectedSize > compressed.size() * 1040 + 64)
        throw XarError("table of contents does not inflate to its stated size");
    InflateStream stream;
    if (!stream.ready)
        throw XarError("zlib unavailable");
    std::string out(static_cast<std::size_t>(expectedSize), '\0');
    stream.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.z.avail_in = static_cast<uInt>(compressed.size());
    stream.z.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&stream.z, Z_FINISH);
    // Exactly the stated size, the whole stream, and nothing after it.
    if (rc != Z_STREAM_END || stream.z.avail_out != 0 || stream.z.avail_in != 0)
        throw XarError("table of contents does not inflate to its stated size");
    return out;
}

XarToc parseToc(std::string_view xml) {
    XmlElement root;
    try {
        root = parseXml(xml);
    } catch (const XmlError& e) {
        throw XarError(std::string("malformed table of contents: ") + e.what());
    }
    if (root.name != "xar")
        throw XarError("table of contents without <xar>");
    const XmlElement* toc = root.child("toc");
    if (!toc)
        throw XarError("table of contents without <toc>");
    XarToc result;
    if (const XmlElement* checksum = toc->child("checksum")) {
        const std::string* style = checksum->attribute("style");
        if (!style || digestLength(lowerAscii(*style)) == 0)
            throw XarError("unsupported table checksum style");
        result.checksum = XarDigest{lowerAscii(*style), {}};
        result.checksumOffset = number(*checksum, "offset");
        result.checksumSize = number(*checksum, "size");
        if (result.checksumSize != digestLength(result.checksum->style))
            throw XarError("table checksum of the wrong size");
    }
    std::set<std::string> seen;
    for (const auto& c : toc->children) {
        if (c.name == "signature") {
            if (result.signature)
                throw XarError("two signatures");
            result.signature = signature(c);
        } else if (c.name == "x-signature") {
            if (result.xSignature)
                throw XarError("two x-signatures");
            result.xSignature = signature(c);
        } else if (c.name == "file") {
            XarFile f = file(c);
            if (!seen.insert(f.name).second)
                throw XarError("duplicate member " + f.name);
            result.files.push_back(std::move(f));
        }
    }
    return result;
}

} // namespace quorvane::tools
