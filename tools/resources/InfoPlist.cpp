#include "InfoPlist.h"

#include <memory>
#include <stdexcept>

#include <plist/plist.h>

#include "FileHandles.h"

namespace quorvane::tools {
namespace {

struct PlistDeleter {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

constexpr std::size_t maxInfoPlistBytes = 1 << 20;

std::string stringValue(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        throw std::runtime_error(std::string("Info.plist has no string ") + key);
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text || length == 0)
        throw std::runtime_error(std::string("Info.plist has an empty ") + key);
    return std::string(text, static_cast<std::size_t>(length));
}

} // namespace

BundleVersion readBundleVersion(const std::filesystem::path& app) {
    const std::string bytes =
        readSmallFile((app / "Contents" / "Info.plist").string(), maxInfoPlistBytes);
    plist_t parsed = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    PlistPtr root(parsed);
    if (!root || plist_get_node_type(parsed) != PLIST_DICT)
        throw std::runtime_error("Info.plist is not a property list dictionary");
    return BundleVersion{stringValue(parsed, "CFBundleShortVersionString"),
                         stringValue(parsed, "CFBundleVersion")};
}

} // namespace quorvane::tools
