#include "core/settings.h"

#include <cstdint>

#include "core/extended_settings.h"
#include "core/ini_store.h"
#include "core/plain_live_settings.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter {

namespace {

constexpr std::string_view kScrambleKey = "(K) Quillstone AMBER_TOWPATH 1964,1977";

// The escaped password form. A scrambled printable-ASCII password consists of bytes 128..255 only, so a
// value that starts with these ASCII letters can never be one. After the marker come the scrambled bytes
// as upper-case hexadecimal digits, two per byte.
constexpr std::string_view kEscapeMarker = "HEX:";

// Whether a value survives being written to the file and read back: the line list splits at CR and LF
// and ends at NUL, reading trims surrounding spaces, and a "[" ends the key scan of a write, which would
// then add the keys after it again.
bool FileHoldsFaithfully(const std::string& value) {
    if (value.find_first_of(std::string_view("\r\n\0[", 4)) != std::string::npos)
        return false;
    if (!value.empty() && (value.front() == ' ' || value.back() == ' '))
        return false;
    return value.compare(0, kEscapeMarker.size(), kEscapeMarker) != 0;
}

}  // namespace

std::string ScramblePassword(const std::string& password) {
    std::string out(password.size(), '\0');
    for (std::size_t i = 0; i < password.size(); ++i) {
        const auto b = static_cast<unsigned char>(password[i]);
        const auto k = static_cast<unsigned char>(kScrambleKey[i % kScrambleKey.size()]);
        out[i] = static_cast<char>((255 - b + (k >> 2)) & 0xFF);
    }
    return out;
}

std::string UnscramblePassword(const std::string& scrambled) {
    return ScramblePassword(scrambled);
}

std::string EncodeStoredPassword(const std::string& password) {
    const std::string scrambled = ScramblePassword(password);
    if (FileHoldsFaithfully(scrambled))
        return scrambled;
    return std::string(kEscapeMarker) + text::HexUpper(scrambled);
}

std::string DecodeStoredPassword(const std::string& stored) {
    if (stored.compare(0, kEscapeMarker.size(), kEscapeMarker) == 0) {
        const std::string_view hex = std::string_view(stored).substr(kEscapeMarker.size());
        std::string scrambled;
        bool valid = hex.size() % 2 == 0;
        for (std::size_t i = 0; valid && i < hex.size(); i += 2) {
            const int high = text::HexDigitValue(hex[i]), low = text::HexDigitValue(hex[i + 1]);
            valid = high >= 0 && low >= 0;
            scrambled += static_cast<char>(high * 16 + low);
        }
        // A hand-edited value that only looks escaped is read the plain way.
        if (valid)
            return UnscramblePassword(scrambled);
    }
    return UnscramblePassword(stored);
}

std::string StripQuotes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '"')
            out += c;
    }
    return out;
}

void ReadSettings(LiveSettings& fields, ProgramState& state) {
    ReadAllSettings(fields, state);
}

namespace {

// Every key another program may change while this one runs is tracked; the pending publication is this
// run's own.
bool TrackedKey(const SettingKey& key) {
    return std::string_view(key.name) != "PendingPublication";
}

std::vector<std::string> Snapshot(const LiveSettings& fields, const ProgramState& state) {
    std::vector<std::string> values;
    for (const SettingKey& key : SettingKeys())
        if (TrackedKey(key))
            values.push_back(KeyValue(key, fields, state));
    return values;
}

// Remembers the open store's file as this program's last sight of it.
void Remember(ProgramState& state, const std::string& path) {
    PlainLiveSettings onFileFields;
    ProgramState onFile;
    ReadSettings(onFileFields, onFile);
    SettingsFileRecord& record = state.SettingsOnFile;
    record.known = true;
    record.text = IniLines().Text();
    record.values = Snapshot(onFileFields, onFile);
    record.stamp = platform::FileStamp(path);
}

// With the store open: takes over every setting the file holds differently from this program's last sight
// of it, unless this program has changed that setting itself since. True when anything was taken over.
bool MergeOpenStore(LiveSettings& fields, ProgramState& state) {
    const SettingsFileRecord& record = state.SettingsOnFile;
    if (!record.known || record.text == IniLines().Text())
        return false;
    PlainLiveSettings onFileFields;
    ProgramState onFile;
    ReadSettings(onFileFields, onFile);
    const std::vector<std::string> now = Snapshot(onFileFields, onFile);
    const std::vector<std::string> mine = Snapshot(fields, state);
    bool taken = false;
    auto changedThereOnly = [&](std::size_t i) {
        return i < record.values.size() && now[i] != record.values[i] && mine[i] == record.values[i];
    };
    std::size_t i = 0;
    for (const SettingKey& key : SettingKeys()) {
        if (TrackedKey(key) && changedThereOnly(i++)) {
            PutKeyValue(key, fields, state, KeyValue(key, onFileFields, onFile));
            taken = true;
        }
    }
    return taken;
}

}  // namespace

void LoadSettings(LiveSettings& fields, ProgramState& state, const std::string& settingsPath) {
    WithIniStore(settingsPath, [&] {
        ReadSettings(fields, state);
        Remember(state, settingsPath);
    });
}

bool MergeFileChanges(LiveSettings& fields, ProgramState& state, const std::string& settingsPath) {
    SettingsFileRecord& record = state.SettingsOnFile;
    // Gone or never read: nothing to take over (a settings file removed meanwhile is not all defaults).
    if (!record.known || !platform::FileExists(settingsPath))
        return false;
    std::vector<std::int64_t> stamp = platform::FileStamp(settingsPath);
    if (stamp == record.stamp)
        return false;
    bool taken = false;
    WithIniStore(settingsPath, [&] {
        taken = MergeOpenStore(fields, state);
        Remember(state, settingsPath);
    });
    return taken;
}

KeyValues SavedSettings(LiveSettings& fields, ProgramState& state, bool fileExisted) {
    KeyValues values;
    for (const SettingKey& key : SettingKeys()) {
        if (key.saving == Saving::Never || (key.saving == Saving::WhenCreated && fileExisted))
            continue;
        std::string value = key.saving == Saving::WhenCreated ? key.created : KeyValue(key, fields, state);
        if (key.keptElsewhere && key.keptElsewhere(state))
            continue;  // the store of its own holds it; the file must not, not even as an empty line
        if (key.toFile)
            value = key.toFile(value);
        // The template's stripped path, and the first save's ignore list, become the program's too.
        if (key.put)
            key.put(state, value);
        values.emplace_back(key.name, std::move(value));
    }
    return values;
}

std::vector<std::string> KeysKeptElsewhere(const ProgramState& state) {
    std::vector<std::string> keys;
    for (const SettingKey& key : SettingKeys())
        if (key.keptElsewhere && key.keptElsewhere(state))
            keys.emplace_back(key.name);
    return keys;
}

// The program's own records that the file holds in a form the program never writes: read as nothing, and
// removed at the next save rather than kept to mislead a later reader.
std::vector<std::string> UnreadRecords() {
    std::vector<std::string> keys;
    for (const SettingKey& key : SettingKeys()) {
        if (key.owner != KeyOwner::Program || key.saving != Saving::Never)
            continue;
        const std::string stored = IniReadString(kSettingsSection, key.name, "");
        ProgramState read;
        key.put(read, stored);
        if (!stored.empty() && key.get(read).empty())
            keys.emplace_back(key.name);
    }
    return keys;
}

void SaveSettings(LiveSettings& fields, ProgramState& state, const std::string& settingsPath) {
    const bool existed = platform::FileExists(settingsPath);
    WithIniStore(settingsPath, [&] {
        // Another program's change since this one last read the file stays: only what was changed here
        // is written over it.
        MergeOpenStore(fields, state);
        // One replacement of the file: a failure leaves it as it was, never half written.
        std::vector<std::string> removed = UnreadRecords();
        for (std::string& key : KeysKeptElsewhere(state)) removed.push_back(std::move(key));
        IniWriteStrings(kSettingsSection, SavedSettings(fields, state, existed), removed);
        if (state.SettingsOnFile.known)
            Remember(state, settingsPath);
    });
}

void WritePendingPublication(ProgramState& state, const std::string& settingsPath,
                             const std::string& pending) {
    if (state.PendingPublication == pending)
        return;
    state.PendingPublication = pending;
    // A read-only file is the user's choice not to have it written; the pending publication is then only
    // kept for this run, as it always was.
    if (!platform::FileExists(settingsPath) || platform::IsReadOnlyFile(settingsPath))
        return;
    // Without the settings lock the same holds: the next save of the settings says why the file is not
    // written, once, where the user sees it.
    try {
        WithIniStore(settingsPath, [&] {
            if (pending.empty())
                IniDeleteKey(kSettingsSection, "PendingPublication");
            else
                IniWriteString(kSettingsSection, "PendingPublication", pending);
        });
    } catch (const ESettingsLockError&) {
    }
}

}  // namespace signposter
