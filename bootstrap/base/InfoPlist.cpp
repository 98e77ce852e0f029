#include "base/InfoPlist.h"

#include <system_error>

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include "base/FileIo.h"

namespace quorvane {
namespace {

std::optional<std::string> readSmallRegularFile(const std::filesystem::path& path,
                                                std::size_t limit) {
    // Non-blocking, so that a FIFO planted in place of the file cannot hang the open.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<std::size_t>(info.st_size) > limit)
        return std::nullopt;
    std::string data(static_cast<std::size_t>(info.st_size), '\0');
    try {
        if (readAt(fd.get(), data, 0) != data.size())
            return std::nullopt; // the file shrank while we read it
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    return data;
}

} // namespace

std::optional<InfoPlist> InfoPlist::read(const std::filesystem::path& bundle) {
    const auto data = readSmallRegularFile(bundle / "Contents" / "Info.plist", maxBytes);
    if (!data)
        return std::nullopt;
    return parse(*data);
}

std::optional<InfoPlist> InfoPlist::parse(std::string_view data) {
    if (data.empty() || data.size() > maxBytes)
        return std::nullopt;
    plist_t raw = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &raw);
    if (!raw)
        return std::nullopt;
    std::shared_ptr<void> root(raw, [](plist_t node) { plist_free(node); });
    if (plist_get_node_type(raw) != PLIST_DICT)
        return std::nullopt;
    return InfoPlist(std::move(root));
}

std::optional<std::string> InfoPlist::string(const std::string& key) const {
    const plist_t value = plist_dict_get_item(root_.get(), key.c_str());
    if (!value || plist_get_node_type(value) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    if (!text)
        return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

} // namespace quorvane
