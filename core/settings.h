#pragma once

#include <string>

#include "core/extended_settings.h"
#include "core/live_settings.h"
#include "core/program_state.h"

namespace signposter {

// Fills the window's fields and the program-wide values from the settings file (defaults where keys or
// the file are missing). Ends by closing the store, which rewrites an existing, writable file.
void LoadSettings(LiveSettings& fields, ProgramState& state, const std::string& settingsPath);
// The same reading from the store already open, for a read-modify-write under one IniOpen.
void ReadSettings(LiveSettings& fields, ProgramState& state);
// Writes every setting from the fields back to the file in one replacement. Raises "Cannot create file %s"
// when the file cannot be written.
void SaveSettings(LiveSettings& fields, ProgramState& state, const std::string& settingsPath);
// The keys and values SaveSettings writes, in its order; a first save (no file yet) also writes the
// default ignore list. Takes the template file's name into `state` as saving does.
KeyValues SavedSettings(LiveSettings& fields, ProgramState& state, bool fileExisted);

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
