#include "desktop/DesktopEntry.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/FileIo.h"
#include "base/InfoPlist.h"
#include "base/Rename.h"
#include "base/ToolRunner.h"
#include "base/Utf8Decoder.h"
#include "base/Uuid.h"

namespace quorvane::desktop {
namespace {

namespace fs = std::filesystem;

// Icons are small; anything larger is not one.
constexpr std::size_t maxIconBytes = 4 << 20;
// Only so much of an existing entry is read to tell whose it is.
constexpr std::size_t maxEntryBytes = 64 << 10;

bool isUtf8(std::string_view text) {
    Utf8Decoder decoder;
    std::string decoded;
    decoder.decode(text, decoded);
    decoder.finish(decoded);
    return decoded == text;
}

// A value the entry format can hold as it is: UTF-8 without control characters.
bool isWritable(std::string_view text) {
    for (const unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return false;
    return !text.empty() && isUtf8(text);
}

// The escape of string values: a backslash is written twice.
std::string escapeString(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// One argument of Exec: quoted (the path may hold spaces and reserved characters), with the
// four characters that stay special inside quotes escaped, percent signs doubled so that no
// field code is read into it, then escaped as a string value.
std::string execArgument(std::string_view path) {
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    return escapeString(quoted);
}

// The desktop's main categories for the platform's application categories.
std::string categoriesFor(std::string_view category) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 12> table{{
        {"public.app-category.business", "Office;"},
        {"public.app-category.developer-tools", "Development;"},
        {"public.app-category.education", "Education;"},
        {"public.app-category.finance", "Office;Finance;"},
        {"public.app-category.games", "Game;"},
        {"public.app-category.graphics-design", "Graphics;"},
        {"public.app-category.music", "AudioVideo;Audio;"},
        {"public.app-category.photography", "Graphics;Photography;"},
        {"public.app-category.productivity", "Office;"},
        {"public.app-category.social-networking", "Network;"},
        {"public.app-category.utilities", "Utility;"},
        {"public.app-category.video", "AudioVideo;Video;"},
    }};
    for (const auto& [platform, desktop] : table)
        if (platform == category)
            return std::string(desktop);
    return {};
}

bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

// Reads at most `limit` bytes of an item that is a regular file (never through a link); none
// when it is something else or larger.
std::optional<std::string> readSmallFile(int dir, const char* name, std::size_t limit) {
    const FileDescriptor fd(
        ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) > limit)
        return std::nullopt;
    std::string data(static_cast<std::size_t>(info.st_size), '\0');
    const std::size_t got = readAt(fd.get(), {data.data(), data.size()}, 0);
    data.resize(got);
    return data;
}

enum class Existing { none, ours, foreign };

// Whose item stands at `name`: an entry is ours when it carries our version key; an icon (which
// cannot carry a mark) when it is a regular file. Links and anything else are never ours.
Existing existing(int dir, const std::string& name, bool entry) {
    struct stat info {};
    if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Existing::none : Existing::foreign;
    if (!S_ISREG(info.st_mode))
        return Existing::foreign;
    if (!entry)
        return Existing::ours;
    const auto text = readSmallFile(dir, name.c_str(), maxEntryBytes);
    if (!text)
        return Existing::foreign;
    const std::string mark = "\n" + std::string(versionKey) + "=";
    return text->find(mark) != std::string::npos ? Existing::ours : Existing::foreign;
}

// Writes `content` as `name` in the folder open at `dir`: a new file beside it, then one rename,
// so that readers see the old or the new item whole. Mode 0644 whatever the umask.
void writeAtomically(int dir, const std::string& name, std::string_view content) {
    ReplacementFile file(dir, name, 0644);
    if (::fchmod(file.fd(), 0644) != 0)
        throwErrno("chmod " + name);
    file.write({content.data(), content.size()});
    file.commit();
}

// Creates `folder` as needed and opens it, refusing a link in its last component.
FileDescriptor createAndOpenFolder(const fs::path& folder) {
    createFoldersForOwner(folder);
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        throwErrno("open " + folder.string());
    return fd;
}

struct Icon {
    std::string data;
    std::string folder; // the theme's size folder: "256x256" or "scalable"
    std::string extension;
};

std::uint32_t bigEndian(std::string_view bytes) {
    std::uint32_t value = 0;
    for (const char c : bytes)
        value = value << 8 | static_cast<unsigned char>(c);
    return value;
}

// What kind of icon `data` is, and the theme folder it belongs in; none for anything else.
std::optional<Icon> classifyIcon(std::string data) {
    static constexpr std::string_view pngSignature{"\x89PNG\r\n\x1a\n", 8};
    if (data.size() >= 24 && std::string_view(data).substr(0, 8) == pngSignature &&
        std::string_view(data).substr(12, 4) == "IHDR") {
        const std::uint32_t width = bigEndian(std::string_view(data).substr(16, 4));
        const std::uint32_t height = bigEndian(std::string_view(data).substr(20, 4));
        // The sizes the hicolor theme has folders for.
        static constexpr std::array<std::uint32_t, 14> sizes{16, 22, 24,  32,  36,  48,  64,
                                                             72, 96, 128, 192, 256, 384, 512};
        for (const std::uint32_t size : sizes)
            if (width == size && height == size) {
                const std::string folder = std::to_string(size) + "x" + std::to_string(size);
                return Icon{std::move(data), folder, ".png"};
            }
        return std::nullopt;
    }
    const std::string_view head = std::string_view(data).substr(0, 4096);
    const auto start = head.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
    if (start != std::string_view::npos && head[start] == '<' &&
        head.find("<svg") != std::string_view::npos)
        return Icon{std::move(data), "scalable", ".svg"};
    return std::nullopt;
}

// The icon the bundle names in its Info.plist, looked up in Contents/Resources.
std::optional<Icon> bundleIcon(const fs::path& bundle, const InfoPlist& info) {
    const auto name = info.string("CFBundleIconFile");
    if (!name || !isPlainName(*name))
        return std::nullopt;
    const fs::path resources = bundle / "Contents" / "Resources";
    const FileDescriptor dir(
        ::open(resources.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir)
        return std::nullopt;
    std::vector<std::string> candidates{*name};
    if (fs::path(*name).extension().empty())
        candidates.insert(candidates.end(), {*name + ".png", *name + ".svg"});
    for (const auto& candidate : candidates)
        if (auto data = readSmallFile(dir.get(), candidate.c_str(), maxIconBytes))
            if (auto icon = classifyIcon(std::move(*data)))
                return icon;
    return std::nullopt;
}

std::optional<fs::path> installIcon(const Icon& icon, std::string_view identifier,
                                    const fs::path& dataHome) {
    const fs::path folder = dataHome / "icons" / "hicolor" / icon.folder / "apps";
    const FileDescriptor dir = createAndOpenFolder(folder);
    const std::string name = std::string(identifier) + icon.extension;
    if (existing(dir.get(), name, false) == Existing::foreign)
        return std::nullopt;
    writeAtomically(dir.get(), name, icon.data);
    return folder / name;
}

bool isExecutableFile(const fs::path& program) {
    struct stat info {};
    return ::stat(program.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(program.c_str(), X_OK) == 0;
}

} // namespace

std::optional<std::string> entryText(const fs::path& bundle, std::string_view identifier) {
    const auto info = InfoPlist::read(bundle);
    if (!info)
        return std::nullopt;
    const auto executableName = info->string("CFBundleExecutable");
    if (!executableName || !isPlainName(*executableName))
        return std::nullopt;
    const std::string executable = (bundle / "Contents" / "MacOS" / *executableName).string();
    // The name the platform shows for a bundle: its display name, its name, else the folder's.
    std::optional<std::string> name = info->string("CFBundleDisplayName");
    if (!name || !isWritable(*name))
        name = info->string("CFBundleName");
    if (!name || !isWritable(*name))
        name = bundle.stem().string();
    const auto version = info->string("CFBundleShortVersionString");
    const auto build = info->string("CFBundleVersion");
    if (!name || !isWritable(*name) || !isWritable(executable) || !isWritable(identifier) ||
        !version || !isWritable(*version) || !build || !isWritable(*build))
        return std::nullopt;

    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n";
    text += "Name=" + escapeString(*name) + "\n";
    text += "Exec=" + execArgument(executable) + "\n";
    text += "TryExec=" + escapeString(executable) + "\n";
    text += "Icon=" + escapeString(identifier) + "\n";
    text += "StartupWMClass=" + escapeString(identifier) + "\n";
    text += "Terminal=false\n";
    if (const auto category = info->string("LSApplicationCategoryType")) {
        const std::string categories = categoriesFor(*category);
        if (!categories.empty())
            text += "Categories=" + categories + "\n";
    }
    text += std::string(versionKey) + "=" + escapeString(*version) + "\n";
    text += std::string(buildKey) + "=" + escapeString(*build) + "\n";
    return text;
}

Registration registerApp(const fs::path& bundle, std::string_view identifier,
                         const fs::path& dataHome, const fs::path& updateDatabase) {
    Registration done;
    if (dataHome.empty() || !dataHome.is_absolute() || !isPlainName(identifier))
        return done;
    try {
        if (const auto info = InfoPlist::read(bundle))
            if (const auto icon = bundleIcon(bundle, *info))
                done.icon = installIcon(*icon, identifier, dataHome);
    } catch (...) {
        // An icon that cannot be installed leaves the entry without one; nothing more.
    }
    try {
        const auto text = entryText(bundle, identifier);
        if (!text)
            return done;
        const fs::path applications = dataHome / "applications";
        const FileDescriptor dir = createAndOpenFolder(applications);
        const std::string name = std::string(identifier) + ".desktop";
        if (existing(dir.get(), name, true) == Existing::foreign) {
            done.entry = EntryOutcome::foreignKept;
            return done;
        }
        writeAtomically(dir.get(), name, *text);
        done.entry = EntryOutcome::written;
        if (isExecutableFile(updateDatabase))
            BootstrapSystemInstaller::run(updateDatabase.string(), {applications.string()});
    } catch (...) {
        // Registration is a courtesy to the desktop; the installation stands without it.
    }
    return done;
}

} // namespace quorvane::desktop
