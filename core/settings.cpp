#include "core/settings.h"

#include <cstdint>

#include "core/ini_store.h"
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

void LoadSettings(LiveSettings& fields, ProgramState& state, const std::string& settingsPath) {
    IniOpen(settingsPath);
    ReadSettings(fields, state);
    IniClose();
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
    IniOpen(settingsPath);
    struct CloseOnError {
        bool armed = true;
        ~CloseOnError() {
            if (!armed)
                return;
            // The write that failed has already reported; closing must not replace that error.
            try {
                IniClose();
            } catch (...) {
            }
        }
    } closer;
    // One replacement of the file: a failure leaves it as it was, never half written.
    IniWriteStrings(kSettingsSection, SavedSettings(fields, state, existed));
    closer.armed = false;
    IniClose();
}

}  // namespace signposter
