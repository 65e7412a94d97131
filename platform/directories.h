#pragma once

#include <string>

// Where the program keeps its files. The settings live in the user's configuration directory and the
// page is written to the temporary directory.
namespace signposter::platform {

// $XDG_CONFIG_HOME, or $HOME/.config when it is unset or empty; created when missing. Never ends in '/'
// unless it is the root itself.
std::string ConfigDirectory();
// The configuration directory + "/" + "signposter.ini".
std::string SettingsFilePath();
// $TMPDIR, else /tmp, without a trailing separator.
std::string TempDirectory();

inline constexpr char kPathSeparator = '/';

}  // namespace signposter::platform
