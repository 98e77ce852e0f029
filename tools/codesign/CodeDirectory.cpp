#include "CodeDirectory.h"

#include <algorithm>
#include <set>

namespace quorvane::tools {
namespace {

constexpr std::string_view magic = "quorvane code directory 1\n";

void appendField(std::string& out, std::string_view bytes) {
    out += std::to_string(bytes.size());
    out += ':';
    out += bytes;
}

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    bool atEnd() const { return pos_ == bytes_.size(); }

    void literal(std::string_view text) {
        if (bytes_.substr(pos_, text.size()) != text)
            fail("expected \"" + printable(text) + "\"");
        pos_ += text.size();
    }

    bool peek(std::string_view text) const { return bytes_.substr(pos_, text.size()) == text; }

    std::uint64_t number(std::uint64_t max) {
        const std::size_t start = pos_;
        std::uint64_t value = 0;
        while (pos_ < bytes_.size() && bytes_[pos_] >= '0' && bytes_[pos_] <= '9') {
            if (pos_ - start >= 20)
                fail("number too long");
            const auto digit = static_cast<std::uint64_t>(bytes_[pos_] - '0');
            if (value > (max - digit) / 10)
                fail("number out of range");
            value = value * 10 + digit;
            ++pos_;
        }
        if (pos_ == start || (bytes_[start] == '0' && pos_ - start > 1))
            fail("malformed number");
        return value;
    }

    std::string field(std::size_t maxLength) {
        const auto length = static_cast<std::size_t>(number(maxLength));
        literal(":");
        if (bytes_.size() - pos_ < length)
            fail("truncated field");
        std::string value(bytes_.substr(pos_, length));
        pos_ += length;
        return value;
    }

    template <std::size_t N> std::array<std::uint8_t, N> hex() {
        std::array<std::uint8_t, N> out{};
        if (bytes_.size() - pos_ < 2 * N)
            fail("truncated digest");
        for (std::size_t i = 0; i < N; ++i)
            out[i] = static_cast<std::uint8_t>(nibble(bytes_[pos_ + 2 * i]) << 4 |
                                               nibble(bytes_[pos_ + 2 * i + 1]));
        pos_ += 2 * N;
        return out;
    }

    [[noreturn]] void fail(const std::string& why) const {
        throw CodeDirectoryError("malformed code directory at byte " + std::to_string(pos_) + ": " +
                                 why);
    }

private:
    std::uint8_t nibble(char c) const {
        if (c >= '0' && c <= '9')
            return static_cast<std::uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f')
            return static_cast<std::uint8_t>(c - 'a' + 10);
        fail("digest is not lower-case hexadecimal");
    }

    static std::string printable(std::string_view text) {
        std::string out;
        for (char c : text)
            out += c == '\n' ? std::string("\\n") : std::string(1, c);
        return out;
    }

    std::string_view bytes_;
    std::size_t pos_ = 0;
};

bool validText(std::string_view text, std::size_t maxBytes) {
    return text.size() <= maxBytes && text.find('\0') == std::string_view::npos;
}

} // namespace

bool isValidEntryPath(std::string_view path) {
    if (path.empty() || path.size() > CodeDirectory::maxPathBytes ||
        path.find('\0') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::string CodeDirectory::encode() const {
    std::string out(magic);
    out += "identifier ";
    appendField(out, identifier);
    out += "\nteam ";
    appendField(out, teamIdentifier);
    out += "\nhash sha256\nentries " + std::to_string(entries.size()) + "\n";
    for (const auto& entry : entries) {
        switch (entry.kind) {
        case CodeEntry::Kind::file:
            out += "file ";
            appendField(out, entry.path);
            out += entry.executable ? " x " : " - ";
            out += std::to_string(entry.size) + " " + lowerHex(entry.digest);
            break;
        case CodeEntry::Kind::link:
            out += "link ";
            appendField(out, entry.path);
            out += ' ';
            appendField(out, entry.target);
            break;
        case CodeEntry::Kind::code:
            out += "code ";
            appendField(out, entry.path);
            out += " " + lowerHex(entry.cdhash);
            break;
        }
        out += '\n';
    }
    return out;
}

CodeDirectory CodeDirectory::decode(std::string_view bytes) {
    if (bytes.size() > maxBytes)
        throw CodeDirectoryError("code directory too large");
    Reader in(bytes);
    CodeDirectory cd;
    in.literal(magic);
    in.literal("identifier ");
    cd.identifier = in.field(maxIdentifierBytes);
    if (cd.identifier.empty() || !validText(cd.identifier, maxIdentifierBytes))
        in.fail("bad identifier");
    in.literal("\nteam ");
    cd.teamIdentifier = in.field(maxIdentifierBytes);
    if (!validText(cd.teamIdentifier, maxIdentifierBytes))
        in.fail("bad team identifier");
    in.literal("\nhash sha256\nentries ");
    const auto count = static_cast<std::size_t>(in.number(maxEntries));
    in.literal("\n");
    cd.entries.reserve(std::min<std::size_t>(count, bytes.size() / 16));

    // Paths that cannot have anything below them: files, links and nested code.
    std::set<std::string, std::less<>> leaves;
    for (std::size_t i = 0; i < count; ++i) {
        CodeEntry entry;
        if (in.peek("file ")) {
            in.literal("file ");
            entry.kind = CodeEntry::Kind::file;
            entry.path = in.field(maxPathBytes);
            if (in.peek(" x "))
                entry.executable = true;
            else if (!in.peek(" - "))
                in.fail("expected the executable mark");
            in.literal(entry.executable ? " x " : " - ");
            entry.size = in.number(UINT64_MAX);
            in.literal(" ");
            entry.digest = in.hex<32>();
        } else if (in.peek("link ")) {
            in.literal("link ");
            entry.kind = CodeEntry::Kind::link;
            entry.path = in.field(maxPathBytes);
            in.literal(" ");
            entry.target = in.field(maxPathBytes);
            if (entry.target.empty() || entry.target.find('\0') != std::string::npos)
                in.fail("bad link target");
        } else if (in.peek("code ")) {
            in.literal("code ");
            entry.kind = CodeEntry::Kind::code;
            entry.path = in.field(maxPathBytes);
            in.literal(" ");
            entry.cdhash = in.hex<20>();
        } else {
            in.fail("unknown entry");
        }
        in.literal("\n");
        if (!isValidEntryPath(entry.path))
            in.fail("bad path");
        if (!cd.entries.empty() && !(cd.entries.back().path < entry.path))
            in.fail("entries out of order or repeated");
        for (std::size_t slash = entry.path.find('/'); slash != std::string::npos;
             slash = entry.path.find('/', slash + 1))
            if (leaves.contains(std::string_view(entry.path).substr(0, slash)))
                in.fail("entry below a file, link or nested code");
        leaves.insert(entry.path);
        cd.entries.push_back(std::move(entry));
    }
    if (!in.atEnd())
        in.fail("trailing bytes");
    // The reader accepts only what encode() writes; this holds it to that.
    if (cd.encode() != bytes)
        throw CodeDirectoryError("code directory is not in canonical form");
    return cd;
}

CdHash cdhashOf(std::string_view codeDirectoryBytes) {
    const Sha256Digest digest = sha256Bytes(codeDirectoryBytes);
    CdHash hash{};
    std::copy_n(digest.begin(), hash.size(), hash.begin());
    return hash;
}

} // namespace quorvane::tools
