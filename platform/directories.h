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
// Where the page is built: $TMPDIR when set (without a trailing separator), else a directory of the
// user's own, $XDG_RUNTIME_DIR/signposter or /tmp/signposter-<uid>, made 0700 when missing. Raises
// EFCreateError when the runtime one cannot be made, or belongs to another user or is writable by others.
// When /tmp/signposter-<uid> is not this user's private directory (another user made it first), a fresh
// one (mkdtemp, /tmp/signposter-<uid>-XXXXXX) is used instead, and stderr is told once.
std::string TempDirectory();

inline constexpr char kPathSeparator = '/';

}  // namespace signposter::platform
