#pragma once

// The user's folders as the desktop defines them. The home folder comes from the user database,
// whatever HOME says.

#include <filesystem>

namespace quorvane::desktop {

// The home folder recorded in the user database; empty when it has none.
std::filesystem::path homeDirectory();

// $XDG_DATA_HOME when it is an absolute path, else the home folder's .local/share; empty when
// neither can be had.
std::filesystem::path dataHome();

// $XDG_STATE_HOME when it is an absolute path, else the home folder's .local/state; empty when
// neither can be had.
std::filesystem::path stateHome();

} // namespace quorvane::desktop
