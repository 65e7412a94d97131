#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/program_state.h"

namespace signposter {

// The settings the main window has no field for (connection security, address source, verification of
// the published page) and the program's own records. They are described once, in the table of
// extended_settings.cpp: LoadSettings reads them, `signposter-cli show` and `set`, the settings dialog and
// the monitor's validation all go by it, so none of them can take a value another refuses. SaveSettings
// never writes them: a settings file without them is read and written exactly as it always was.

// Where the settings dialog shows a key; None: not in the dialog.
enum class SettingsGroup { None, Security, Address, Verification };

// Who writes a key: the user (shown and set by hand, edited in the dialog), or the program itself (a
// record such as when the page was last published, never set by hand).
enum class KeyOwner { User, Program };

struct SettingKey {
    const char* name;
    const char* fallback;  // what reading takes when the file has no such key
    KeyOwner owner;
    SettingsGroup group;
    const char* meaning;  // one line: what it does and the values it takes
    // The value as the file holds it, from the program-wide values; and the file's text taken into them.
    std::string (*get)(const ProgramState&);
    void (*put)(ProgramState&, const std::string& text);
    // What is wrong with the text as a value of this key, or nothing; empty text is always a value
    // (the key's default). Null: any text.
    std::optional<std::string> (*check)(const std::string& text);
    // Whether the key matters with the other values as they are (e.g. AddressURL only for the web
    // source); null: always. Only a key in use is validated.
    bool (*inUse)(const ProgramState&);
    // The message when the key is in use but empty and the program cannot do without it; null: optional.
    const char* missing;
};

std::span<const SettingKey> SettingKeys();
// The key of that exact name, or null.
const SettingKey* FindSettingKey(std::string_view name);

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// One message of validation, with the settings key it is about.
struct SettingProblem {
    std::string key;
    std::string message;
    bool operator==(const SettingProblem&) const = default;
};

// What validation says of these keys, in the table's order; only a key the user set can give a message,
// and only a key in use.
std::vector<SettingProblem> ExtendedSettingsProblems(const ProgramState& state);
// The same check of one value, as `set` and the dialog make it before it reaches the file.
std::optional<std::string> ValueProblem(const SettingKey& key, const std::string& text);

// Reads every key from the open settings store into `state` (LoadSettings).
void ReadExtendedSettings(ProgramState& state);

// The user's keys whose values differ between `before` and `after`, as the file holds them, in the
// table's order. An unchanged key is not written, so the file keeps what the user wrote by hand, and a
// file without these keys stays without them.
KeyValues ChangedKeys(const ProgramState& before, const ProgramState& after);

// Takes keys written into the file (the dialog's OK, another process's `set`) into the running program's
// values, so that the next tick and publication use them. Unknown keys are ignored.
void ApplySettingKeys(ProgramState& state, const KeyValues& keys);

// Writes the keys into the settings file in one atomic save: the file holds all of them or none. Raises the
// store's "Cannot create file %s" when the file cannot be written.
void WriteSettingKeys(const std::string& settingsPath, const KeyValues& keys);

// The message for a port outside 1 to 65535; the text of the window's Port field, or the port of a URL.
inline constexpr char kPortMessage[] = "Port must be a number from 1 to 65535";
// Nothing, or kPortMessage for a port field whose text is a number outside 1..65535. Empty text is the
// default port; any other text that is no number is left to the connection's own reading, which names it.
std::optional<std::string> PortProblem(std::string_view text);
// Nothing, or kPortMessage when the URL names a port that is not a number from 1 to 65535.
std::optional<std::string> UrlPortProblem(std::string_view url);

}  // namespace signposter
