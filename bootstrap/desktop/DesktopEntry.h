#pragma once

// Registration of the installed app with the Linux desktop: a desktop entry in the user's
// applications folder and the bundle's icon in the icon theme, so that launchers and menus find
// the app. Registration never decides an installation's outcome: what cannot be written is
// skipped.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::desktop {

// What registration did with the entry.
enum class EntryOutcome {
    written,     // written or rewritten
    foreignKept, // a file of that name that this installer did not write stands there
    skipped,     // the bundle or the folders did not allow one
};

struct Registration {
    EntryOutcome entry = EntryOutcome::skipped;
    std::optional<std::filesystem::path> icon; // where the icon was installed
};

// The key that marks an entry as this installer's and records the installed build.
inline constexpr std::string_view versionKey = "X-Quorvane-Installed-Version";
inline constexpr std::string_view buildKey = "X-Quorvane-Installed-Build";

// The entry's text for the bundle at `bundle` (its Info.plist supplies name, executable,
// version and build); none when the bundle lacks what an entry needs or a value cannot be
// written in one (not UTF-8, control characters).
std::optional<std::string> entryText(const std::filesystem::path& bundle,
                                     std::string_view identifier);

// Writes `<dataHome>/applications/<identifier>.desktop` and the icon, then refreshes the
// applications folder's cache with `updateDatabase` when that program exists. Never throws.
Registration
registerApp(const std::filesystem::path& bundle, std::string_view identifier,
            const std::filesystem::path& dataHome,
            const std::filesystem::path& updateDatabase = "/usr/bin/update-desktop-database");

} // namespace quorvane::desktop
