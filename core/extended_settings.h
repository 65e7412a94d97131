#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/live_settings.h"
#include "core/password_store.h"
#include "core/program_state.h"

namespace signposter {

// Every key of the settings file, described once in the table of extended_settings.cpp: the keys of the
// main window's fields (written by every save, in the order the file has always had), the keys beyond
// them (connection security, address source, verification; never written by SaveSettings, so a file
// without them is read and written exactly as it always was), and the program's own records.
// LoadSettings, SaveSettings, `signposter-cli show` and `set`, the settings dialog and the monitor's
// validation all go by it, so none of them can take a value another refuses.

// Where the settings dialog shows a key; None: not in the dialog.
enum class SettingsGroup { None, Security, Address, Verification };

// Who writes a key: the user (shown and set by hand), or the program itself (a record such as when the
// page was last published, never set by hand).
enum class KeyOwner { User, Program };

// When SaveSettings writes a key: never (only `set`, the dialog and the program's own records write it),
// at every save, or only by the save that creates the file (its value then is the key's `created`).
enum class Saving { Never, Always, WhenCreated };

// What `show` prints of a key.
enum class Showing { Value, Masked, Nothing };

// The dialog's widget for a key.
enum class FieldKind {
    Text,       // a line of text
    Path,       // a line of text with a button that chooses a file
    Flag,       // a check box: "1" or "0"
    Choice,     // a list of `choices`
    Number,     // a whole number from `minimum` to `maximum`; empty text shows as `emptyText`
    Interface,  // a network interface's name, chosen from the machine's or typed
};

struct Choice {
    const char* value;  // the file's spelling
    const char* label;
};

struct SettingKey;
using Problem = std::optional<std::string>;

struct SettingKey {
    const char* name;
    const char* fallback = "";  // what reading takes when the file has no such key
    KeyOwner owner = KeyOwner::User;
    Saving saving = Saving::Never;
    const char* created = nullptr;  // Saving::WhenCreated: the value the first save writes
    // Where the running program holds the value: a text field or a switch of the window, and/or the
    // program-wide values (get and put; the file's text taken into them).
    std::optional<TextField> field = std::nullopt;
    std::optional<Switch> flag = std::nullopt;
    std::string (*get)(const ProgramState&) = nullptr;
    void (*put)(ProgramState&, const std::string& text) = nullptr;
    // The file's form of the value and back (the password's scrambling); null: the value itself.
    std::string (*toFile)(const std::string& value) = nullptr;
    std::string (*fromFile)(const std::string& stored) = nullptr;
    Showing showing = Showing::Value;
    // Whether the value lives outside the settings file with the values as they are (the password in a
    // keyring): every save then writes the key empty. Null: never.
    bool (*keptElsewhere)(const ProgramState&) = nullptr;
    // What is wrong with the text as a value of this key, or nothing. Null: any text.
    Problem (*check)(const SettingKey& key, const std::string& text) = nullptr;
    // Whether the key applies with the other values as they are (AddressURL only for the web source, the
    // SSH keys only for SFTP); null: always. Only a key in use is validated, and the dialog disables the
    // others.
    bool (*inUse)(const ProgramState&) = nullptr;
    // The message when the key is in use but empty and the program cannot do without it; null: optional.
    const char* missing = nullptr;
    const char* meaning = "";  // one line: what it does and the values it takes (also the dialog's tooltip)
    // The settings dialog.
    SettingsGroup group = SettingsGroup::None;
    FieldKind kind = FieldKind::Text;
    const char* label = nullptr;  // with its "&" shortcut
    std::span<const Choice> choices = {};
    int minimum = 0;
    int maximum = 0;
    const char* unit = nullptr;
    const char* emptyText = nullptr;    // Number: how empty text (the default) shows
    const char* placeholder = nullptr;  // Text: what an empty field shows
};

std::span<const SettingKey> SettingKeys();
// The key of that exact name, or null.
const SettingKey* FindSettingKey(std::string_view name);
// The user's key of that name ignoring letter case, else the one a typing slip away from it; or null.
const SettingKey* NearestUserKey(std::string_view name);

// The value of the key as the running program holds it (a switch as "1" or "0"; the password plain).
std::string KeyValue(const SettingKey& key, const LiveSettings& fields, const ProgramState& state);
// Takes the text into the field, switch or value that holds the key.
void PutKeyValue(const SettingKey& key, LiveSettings& fields, ProgramState& state, const std::string& text);

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// One message of validation, with the settings key it is about.
struct SettingProblem {
    std::string key;
    std::string message;
    bool operator==(const SettingProblem&) const = default;
};

// What validation says of the keys the program-wide values hold, in the table's order; only a key the
// user set can give a message, and only a key in use.
std::vector<SettingProblem> ExtendedSettingsProblems(const ProgramState& state);
// The same check of one value, as it reaches the file.
std::optional<std::string> ValueProblem(const SettingKey& key, const std::string& text);
// What is wrong with changing the settings by `changes` (key and new text): each new value by its key's
// rule, and what the change leaves for a publication to refuse (a web source without its page, a second
// template option, a user template that is not there). What was wrong before and still is was not this
// change's doing and is not told. `set` and the settings dialog both judge with it.
std::vector<SettingProblem> ChangeProblems(const LiveSettings& fields, const ProgramState& state,
                                           const KeyValues& changes);

// Reads every key from the open settings store into the fields and values (LoadSettings).
void ReadAllSettings(LiveSettings& fields, ProgramState& state);

// The user's keys beyond the window's fields whose values differ between `before` and `after`, as the
// file holds them, in the table's order. An unchanged key is not written, so the file keeps what the user
// wrote by hand, and a file without these keys stays without them.
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

// The file a publication writes on the server, as the publisher joins it: the remote path (one leading "/"
// removed) and the page name as they stand.
std::string RemoteFile(const LiveSettings& fields);
// The same said for the user, as `show`, `set` and `publish` print it: "the page goes to htdocshome.htm".
std::string RemoteFileNote(const LiveSettings& fields);
// One line when the remote path does not end in "/" (and is not empty): the joined name then runs into the
// page name, and how to get the page inside the directory instead. Empty otherwise.
std::string RemotePathWarning(const LiveSettings& fields);

// The key a server check's fingerprint pins with the protocol the settings choose (the SSH host key for
// SFTP, the TLS certificate's fingerprint for FTP).
const SettingKey& PinningKey(const ProgramState& state);

// Whether the password lives in a store of its own (PasswordStore keyring or command:), not in the file.
bool PasswordKeptElsewhere(const ProgramState& state);
// Before `changed` is written: a change of PasswordStore to the keyring puts the password the program
// holds there and reads it back. Nothing, or why not: then nothing may be written, and the file keeps
// the password.
std::optional<std::string> MovePasswordForChange(const Clock& clock, const LiveSettings& fields,
                                                 const ProgramState& state, const KeyValues& changed);
// What the keyring files the password under: the server, its port (21 when empty), user and protocol.
PasswordKey StoredPasswordKey(const LiveSettings& fields, const ProgramState& state);

}  // namespace signposter
