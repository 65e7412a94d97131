#pragma once

#include <optional>
#include <string>

// Starting the tray program with the desktop session, by the XDG autostart convention: a desktop entry in
// the user's autostart directory. Shared by `signposter-cli autostart` and the tray menu.
namespace signposter::platform {

// $XDG_CONFIG_HOME/autostart/signposter.desktop (or under ~/.config).
std::string AutostartFile();
// The tray program installed beside the running one (in /usr/bin or in a build tree alike); empty when the
// running program's own path cannot be read.
std::string TrayProgramPath();
// On when the entry exists and the user has not marked it Hidden (a desktop then treats it as removed).
bool AutostartEnabled();
// Writes the entry that starts `program`. The reason when it cannot, else nothing.
std::optional<std::string> EnableAutostart(const std::string& program);
// Removes the entry; an entry already gone is no failure. The reason when it cannot, else nothing.
std::optional<std::string> DisableAutostart();
// One program path as the Exec key wants it (quoted where needed, '%' doubled, key-file escapes).
std::string AutostartExecValue(const std::string& path);

}  // namespace signposter::platform
