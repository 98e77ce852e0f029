#include "PackageParts.h"

namespace quorvane::tools {
namespace {

void putBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

} // namespace

std::string xmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string emptyBom() {
    constexpr std::uint32_t headerSize = 512;
    std::string index; // block table: one null block, then an empty free list
    putBigEndian(index, 1);
    putBigEndian(index, 0);
    putBigEndian(index, 0);
    putBigEndian(index, 0);
    std::string vars; // no named variables
    putBigEndian(vars, 0);

    std::string bom = "BOMStore";
    putBigEndian(bom, 1); // version
    putBigEndian(bom, 1); // blocks
    putBigEndian(bom, headerSize);
    putBigEndian(bom, static_cast<std::uint32_t>(index.size()));
    putBigEndian(bom, headerSize + static_cast<std::uint32_t>(index.size()));
    putBigEndian(bom, static_cast<std::uint32_t>(vars.size()));
    bom.resize(headerSize, '\0');
    return bom + index + vars;
}

std::string packageInfo(const std::string& identifier, const std::string& version,
                        std::uint64_t files, std::uint64_t installKBytes) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<pkg-info overwrite-permissions=\"true\" relocatable=\"false\" identifier=\"" +
           xmlEscape(identifier) + "\" postinstall-action=\"none\" version=\"" +
           xmlEscape(version) +
           "\" format-version=\"2\" generator-version=\"quorvane-pkgbuild-1\" "
           "install-location=\"/\" auth=\"root\">\n"
           "    <payload numberOfFiles=\"" +
           std::to_string(files) + "\" installKBytes=\"" + std::to_string(installKBytes) +
           "\"/>\n"
           "    <bundle-version/>\n    <upgrade-bundle/>\n    <update-bundle/>\n"
           "    <atomic-update-bundle/>\n    <strict-identifier/>\n    <relocate/>\n"
           "</pkg-info>\n";
}

} // namespace quorvane::tools
