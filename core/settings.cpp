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

bool Switch1(const char* key, std::int32_t defaultValue) {
    return IniReadInteger(kSettingsSection, key, defaultValue) == 1;
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
    fields.SetText(TextField::Host, IniReadString(kSettingsSection, "Host", ""));
    fields.SetText(TextField::Port, IniReadString(kSettingsSection, "Port", "21"));
    fields.SetChecked(Switch::Passive, Switch1("Passive", 1));
    fields.SetChecked(Switch::InternalRedirect, Switch1("InternalYes", 1));
    fields.SetChecked(Switch::InternalNoRedirect, Switch1("InternalNo", 0));
    fields.SetChecked(Switch::UserTemplate, Switch1("UserTemplate", 0));
    fields.SetText(TextField::User, IniReadString(kSettingsSection, "User", ""));
    fields.SetText(TextField::Password,
                   DecodeStoredPassword(IniReadString(kSettingsSection, "Password", "")));
    fields.SetText(TextField::PageName, IniReadString(kSettingsSection, "HTML", "ipaddress.htm"));
    fields.SetText(TextField::RemotePath, IniReadString(kSettingsSection, "RemotePath", "/"));
    state.TemplateFile = IniReadString(kSettingsSection, "Template", "");
    fields.SetText(TextField::TemplateFile, state.TemplateFile);
    state.IgnoreList = IniReadString(kSettingsSection, "IgnoreIP", "");
    state.CurrentIP = IniReadString(kSettingsSection, "LastIP", "");
    ReadExtendedSettings(state);
}

namespace {

// Every setting of the window's another program may change while this one runs, with how to read it from
// the fields and values and how to take it over from another set of them; the keys of the settings table
// follow them (TrackedKeys). The address display, Busy and the pending publication are this run's own.
struct TrackedSetting {
    std::string (*get)(const LiveSettings&, const ProgramState&);
    void (*take)(LiveSettings&, ProgramState&, const LiveSettings&, const ProgramState&);
};

template <TextField F>
constexpr TrackedSetting TrackText() {
    return {[](const LiveSettings& f, const ProgramState&) { return f.Text(F); },
            [](LiveSettings& f, ProgramState&, const LiveSettings& from, const ProgramState&) {
                f.SetText(F, from.Text(F));
            }};
}
template <Switch W>
constexpr TrackedSetting TrackSwitch() {
    return {[](const LiveSettings& f, const ProgramState&) { return std::string(f.Checked(W) ? "1" : "0"); },
            [](LiveSettings& f, ProgramState&, const LiveSettings& from, const ProgramState&) {
                f.SetChecked(W, from.Checked(W));
            }};
}
template <std::string ProgramState::*Member>
constexpr TrackedSetting TrackValue() {
    return {[](const LiveSettings&, const ProgramState& s) { return s.*Member; },
            [](LiveSettings&, ProgramState& s, const LiveSettings&, const ProgramState& from) {
                s.*Member = from.*Member;
            }};
}

const TrackedSetting kTracked[] = {
    TrackText<TextField::Host>(),
    TrackText<TextField::Port>(),
    TrackSwitch<Switch::Passive>(),
    TrackSwitch<Switch::InternalRedirect>(),
    TrackSwitch<Switch::InternalNoRedirect>(),
    TrackSwitch<Switch::UserTemplate>(),
    TrackText<TextField::User>(),
    TrackText<TextField::Password>(),
    TrackText<TextField::PageName>(),
    TrackText<TextField::RemotePath>(),
    // The template's path is both a field and a value.
    {[](const LiveSettings& f, const ProgramState&) { return f.Text(TextField::TemplateFile); },
     [](LiveSettings& f, ProgramState& s, const LiveSettings& fromFields, const ProgramState& from) {
         f.SetText(TextField::TemplateFile, fromFields.Text(TextField::TemplateFile));
         s.TemplateFile = from.TemplateFile;
     }},
    TrackValue<&ProgramState::IgnoreList>(),
    TrackValue<&ProgramState::CurrentIP>(),
};

bool TrackedKey(const SettingKey& key) {
    return std::string_view(key.name) != "PendingPublication";
}

std::vector<std::string> Snapshot(const LiveSettings& fields, const ProgramState& state) {
    std::vector<std::string> values;
    for (const TrackedSetting& setting : kTracked) values.push_back(setting.get(fields, state));
    for (const SettingKey& key : SettingKeys())
        if (TrackedKey(key))
            values.push_back(key.get(state));
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
    for (const TrackedSetting& setting : kTracked) {
        if (changedThereOnly(i++)) {
            setting.take(fields, state, onFileFields, onFile);
            taken = true;
        }
    }
    for (const SettingKey& key : SettingKeys()) {
        if (TrackedKey(key) && changedThereOnly(i++)) {
            key.put(state, key.get(onFile));
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
    auto flag = [&](Switch which) { return std::string(fields.Checked(which) ? "1" : "0"); };
    KeyValues values = {
        {"Host", fields.Text(TextField::Host)},
        {"Port", fields.Text(TextField::Port)},
        {"Passive", flag(Switch::Passive)},
        {"InternalYes", flag(Switch::InternalRedirect)},
        {"InternalNo", flag(Switch::InternalNoRedirect)},
        {"UserTemplate", flag(Switch::UserTemplate)},
        {"User", fields.Text(TextField::User)},
        {"Password", EncodeStoredPassword(fields.Text(TextField::Password))},
        {"HTML", fields.Text(TextField::PageName)},
        {"RemotePath", fields.Text(TextField::RemotePath)},
    };
    state.TemplateFile = StripQuotes(fields.Text(TextField::TemplateFile));
    values.emplace_back("Template", state.TemplateFile);
    if (!fileExisted) {
        state.IgnoreList = kDefaultIgnoreList;
        values.emplace_back("IgnoreIP", state.IgnoreList);
    }
    values.emplace_back("LastIP", state.CurrentIP);
    return values;
}

void SaveSettings(LiveSettings& fields, ProgramState& state, const std::string& settingsPath) {
    const bool existed = platform::FileExists(settingsPath);
    WithIniStore(settingsPath, [&] {
        // Another program's change since this one last read the file stays: only what was changed here
        // is written over it.
        MergeOpenStore(fields, state);
        // One replacement of the file: a failure leaves it as it was, never half written.
        IniWriteStrings(kSettingsSection, SavedSettings(fields, state, existed));
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
    WithIniStore(settingsPath, [&] {
        if (pending.empty())
            IniDeleteKey(kSettingsSection, "PendingPublication");
        else
            IniWriteString(kSettingsSection, "PendingPublication", pending);
    });
}

}  // namespace signposter
