#pragma once

#include <string>
#include <vector>

#include "core/extended_settings.h"
#include "core/live_settings.h"
#include "core/program_state.h"

namespace signposter {

// Fills the window's fields and the program-wide values from the settings file (defaults where keys or
// the file are missing). Ends by closing the store, which rewrites an existing, writable file. Remembers
// what the file held (state.SettingsOnFile), so that later changes by other programs can be told apart.
void LoadSettings(LiveSettings& fields, ProgramState& state, const std::string& settingsPath);
// The same reading from the store already open, for a read-modify-write under one IniOpen.
void ReadSettings(LiveSettings& fields, ProgramState& state);
// Writes every setting from the fields back to the file in one replacement. Raises "Cannot create file %s"
// when the file cannot be written. A setting that another program changed in the file since this one loaded
// it, and that was not changed here meanwhile, is taken over first instead of written back with its older
// value.
void SaveSettings(LiveSettings& fields, ProgramState& state, const std::string& settingsPath);
// The keys and values SaveSettings writes, in its order; a first save (no file yet) also writes the
// default ignore list. Takes the template file's name into `state` as saving does.
KeyValues SavedSettings(LiveSettings& fields, ProgramState& state, bool fileExisted);
// The keys whose values live outside the file with the values as they are (the password in a keyring):
// SavedSettings leaves them out, and every writer removes them from the file.
std::vector<std::string> KeysKeptElsewhere(const ProgramState& state);
// Takes over the settings another program changed in the file since this one last read or wrote it, into
// the fields and values, except those changed here meanwhile (the user's edits win). True when anything
// was taken over. A first look costs one stat(); call it once a tick.
bool MergeFileChanges(LiveSettings& fields, ProgramState& state, const std::string& settingsPath);
// Records in the file whether a publication is pending ("1" the address page, "offline" the notice, ""
// none: the key is then removed, leaving the file as it was before).
void WritePendingPublication(ProgramState& state, const std::string& settingsPath,
                             const std::string& pending);

// The password's stored form: each byte complemented plus the upper six bits of the matching key byte.
// Its own inverse.
std::string ScramblePassword(const std::string& password);
std::string UnscramblePassword(const std::string& scrambled);

// The value written to the "Password" key, and its reading. Usually the scrambled bytes themselves; when the
// settings file could not hold those faithfully, an escaped form (see settings.cpp).
std::string EncodeStoredPassword(const std::string& password);
std::string DecodeStoredPassword(const std::string& stored);

// The text without any double-quote character.
std::string StripQuotes(const std::string& text);

inline constexpr char kSettingsSection[] = "Settings";
inline constexpr char kDefaultIgnoreList[] = "127.0.0.1,192.168.0.1,";

}  // namespace signposter
