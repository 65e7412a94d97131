// `show` and `set`: the settings without a window.
#include <cstdio>
#include <functional>
#include <map>
#include <optional>

#include "app/cli/commands.h"
#include "core/address_source.h"
#include "core/ini_store.h"
#include "core/page_verification.h"
#include "core/settings.h"
#include "ftp/tls_settings.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter::cli {

namespace {

// Every key `show` prints and `set` accepts, in the order the settings are saved.
struct KeyBinding {
    const char* key;
    std::optional<TextField> text;
    std::optional<Switch> flag;
    // The FTPS keys: read into the program's state and written straight into the file, never by
    // SaveSettings.
    std::string ProgramState::*tls = nullptr;
};

const KeyBinding kBindings[] = {
    {"Host", TextField::Host, {}},
    {"Port", TextField::Port, {}},
    {"Passive", {}, Switch::Passive},
    {"InternalYes", {}, Switch::InternalRedirect},
    {"InternalNo", {}, Switch::InternalNoRedirect},
    {"UserTemplate", {}, Switch::UserTemplate},
    {"User", TextField::User, {}},
    {"Password", TextField::Password, {}},
    {"HTML", TextField::PageName, {}},
    {"RemotePath", TextField::RemotePath, {}},
    {"Template", TextField::TemplateFile, {}},
    {"IgnoreIP", {}, {}},
    {"LastIP", {}, {}},
    {"FtpSecurity", {}, {}, &ProgramState::FtpSecurity},
    {"TlsTrustFile", {}, {}, &ProgramState::TlsTrustFile},
    {"TlsFingerprint", {}, {}, &ProgramState::TlsFingerprint},
};

// Where the address comes from: read by LoadSettings into the program-wide values, never written by
// SaveSettings, so `set` writes them itself.
const char* const kAddressKeys[] = {"AddressSource", "AddressInterface", "AddressURL", "AddressPollSeconds",
                                    "PublishPrivate"};

bool IsAddressKey(const std::string& key) {
    for (const char* known : kAddressKeys) {
        if (key == known)
            return true;
    }
    return false;
}

std::string AddressKeyValue(const ProgramState& state, const std::string& key) {
    if (key == "AddressSource")
        return state.AddressSource;
    if (key == "AddressInterface")
        return state.AddressInterface;
    if (key == "AddressURL")
        return state.AddressURL;
    if (key == "AddressPollSeconds")
        return state.AddressPollSeconds == 0 ? std::string() : std::to_string(state.AddressPollSeconds);
    return state.PublishPrivate ? "1" : "0";
}

// A usage error for a value the key cannot take, or nothing.
std::optional<std::string> CheckAddressKey(const std::string& key, const std::string& value) {
    if (key == "AddressSource" && ParseSourceKind(value) == SourceKind::Unknown)
        return "AddressSource takes HostName, Interface, Web or UPnP, not '" + value + "'";
    if (key == "AddressPollSeconds" && !value.empty()) {
        const auto seconds = text::TryStrictInteger(value);
        if (!seconds || *seconds < kMinPollSeconds || *seconds > kMaxPollSeconds)
            return "AddressPollSeconds takes " + std::to_string(kMinPollSeconds) + " to " +
                   std::to_string(kMaxPollSeconds) + ", not '" + value + "'";
    }
    if (key == "PublishPrivate" && value != "0" && value != "1")
        return "PublishPrivate takes 1 or 0, not '" + value + "'";
    return std::nullopt;
}

// Verification and forced republication: read by LoadSettings, never written by SaveSettings, so `set`
// writes them itself. LastPublished and LastPublishedPage are the program's own and not set by hand.
const char* const kVerifyKeys[] = {"VerifyURL", "VerifyMatch", "RepublishHours"};

bool IsVerifyKey(const std::string& key) {
    for (const char* known : kVerifyKeys) {
        if (key == known)
            return true;
    }
    return false;
}

std::string VerifyKeyValue(const ProgramState& state, const std::string& key) {
    if (key == "VerifyURL")
        return state.VerifyURL;
    if (key == "VerifyMatch")
        return state.VerifyMatch;
    return state.RepublishHours == 0 ? std::string() : std::to_string(state.RepublishHours);
}

// A usage error for a value the key cannot take, or nothing; an empty value turns the feature off.
std::optional<std::string> CheckVerifyKey(const std::string& key, const std::string& value) {
    ProgramState probe;
    if (key == "VerifyURL")
        probe.VerifyURL = value;
    if (key == "VerifyMatch")
        probe.VerifyMatch = value;
    if (key == "RepublishHours" && !text::Trim(value).empty())
        probe.RepublishHours = text::TryStrictInteger(value).value_or(-1);
    const std::string problem = VerificationSettingsMessages(probe);
    if (problem.empty())
        return std::nullopt;
    return text::Trim(problem) + ", not '" + value + "'";
}

const KeyBinding* FindBinding(const std::string& key) {
    for (const auto& binding : kBindings) {
        if (key == binding.key)
            return &binding;
    }
    return nullptr;
}

}  // namespace

int RunShow(Context& context, const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("usage: signposter-cli show\n", stderr);
        return 2;
    }
    LoadSettings(context.fields, context.state, context.settingsPath);
    for (const auto& binding : kBindings) {
        std::string value;
        if (binding.flag) {
            value.assign(1, context.fields.Checked(*binding.flag) ? '1' : '0');
        } else if (binding.text == TextField::Password) {
            // Only whether one is set; never the password itself.
            if (!context.fields.Text(TextField::Password).empty())
                value.assign(8, '*');
        } else if (binding.text) {
            value = context.fields.Text(*binding.text);
        } else if (binding.tls) {
            value = context.state.*binding.tls;
        } else if (std::string(binding.key) == "IgnoreIP") {
            value = context.state.IgnoreList;
        } else {
            value = context.state.CurrentIP;
        }
        std::printf("%s=%s\n", binding.key, value.c_str());
    }
    for (const char* key : kAddressKeys)
        std::printf("%s=%s\n", key, AddressKeyValue(context.state, key).c_str());
    for (const char* key : kVerifyKeys)
        std::printf("%s=%s\n", key, VerifyKeyValue(context.state, key).c_str());
    return 0;
}

int RunSet(Context& context, const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fputs("usage: signposter-cli set [--password-stdin] KEY=VALUE [KEY=VALUE ...]\n", stderr);
        return 2;
    }
    // The password from standard input keeps it out of the process list and the shell's history.
    std::vector<std::string> pairs;
    for (const std::string& arg : args) {
        if (arg != "--password-stdin") {
            pairs.push_back(arg);
            continue;
        }
        std::string line;
        for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) line += static_cast<char>(c);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        pairs.push_back("Password=" + line);
    }
    // Every pair is checked before the file is read, so a usage error leaves the file untouched.
    std::vector<std::pair<const KeyBinding*, std::string>> changes;
    std::vector<std::pair<std::string, std::string>> addressChanges;
    std::vector<std::pair<std::string, std::string>> verifyChanges;
    for (const auto& arg : pairs) {
        const std::size_t eq = arg.find('=');
        if (eq != std::string::npos && IsVerifyKey(arg.substr(0, eq))) {
            const std::string key = arg.substr(0, eq), value = arg.substr(eq + 1);
            std::optional<std::string> problem = CheckVerifyKey(key, value);
            if (text::HasLineBreak(value))
                problem = key + " may not contain a line break";
            if (problem) {
                std::fprintf(stderr, "signposter-cli set: %s\n", problem->c_str());
                return 2;
            }
            verifyChanges.emplace_back(key, value);
            continue;
        }
        if (eq != std::string::npos && IsAddressKey(arg.substr(0, eq))) {
            const std::string key = arg.substr(0, eq), value = arg.substr(eq + 1);
            std::optional<std::string> problem = CheckAddressKey(key, value);
            if (text::HasLineBreak(value))
                problem = key + " may not contain a line break";
            if (problem) {
                std::fprintf(stderr, "signposter-cli set: %s\n", problem->c_str());
                return 2;
            }
            addressChanges.emplace_back(key, value);
            continue;
        }
        const KeyBinding* binding = eq == std::string::npos ? nullptr : FindBinding(arg.substr(0, eq));
        if (!binding) {
            std::fprintf(stderr, "signposter-cli set: unknown setting '%s' (expected KEY=VALUE)\n",
                         arg.c_str());
            return 2;
        }
        const std::string value = arg.substr(eq + 1);
        // A line break would split the setting's line in the file and could forge other keys.
        if (text::HasLineBreak(value)) {
            std::fprintf(stderr, "signposter-cli set: %s may not contain a line break\n", binding->key);
            return 2;
        }
        if (binding->flag && value != "0" && value != "1") {
            std::fprintf(stderr, "signposter-cli set: %s takes 1 or 0, not '%s'\n", binding->key,
                         value.c_str());
            return 2;
        }
        if (binding->tls == &ProgramState::FtpSecurity && !ftp::ParseFtpSecurity(value)) {
            std::fprintf(stderr, "signposter-cli set: FtpSecurity takes None or ExplicitTLS, not '%s'\n",
                         value.c_str());
            return 2;
        }
        if (binding->tls == &ProgramState::TlsFingerprint && !ftp::NormalizeFingerprint(value)) {
            std::fputs("signposter-cli set: TlsFingerprint must be 64 hex digits (colons and spaces allowed)\n",
                       stderr);
            return 2;
        }
        changes.emplace_back(binding, value);
    }

    try {
        LoadSettings(context.fields, context.state, context.settingsPath);
        std::optional<std::string> ignoreList;
        std::vector<std::pair<const char*, std::string>> tlsValues;
        for (const auto& [binding, value] : changes) {
            if (binding->tls) {
                tlsValues.emplace_back(binding->key, value);
            } else if (binding->flag) {
                context.fields.SetChecked(*binding->flag, value == "1");
            } else if (binding->text) {
                context.fields.SetText(*binding->text, value);
            } else if (std::string(binding->key) == "IgnoreIP") {
                ignoreList = value;
            } else {
                context.state.CurrentIP = value;
            }
        }
        SaveSettings(context.fields, context.state, context.settingsPath);
        // The program never rewrites this key itself; this is how a user without a desktop edits the list.
        if (ignoreList) {
            context.state.IgnoreList = *ignoreList;
            IniOpen(context.settingsPath);
            try {
                IniWriteString(kSettingsSection, "IgnoreIP", *ignoreList);
            } catch (...) {
                IniClose();
                throw;
            }
            IniClose();
        }
        // Keys the program never writes itself go straight into the file.
        std::vector<std::pair<std::string, std::string>> direct(tlsValues.begin(), tlsValues.end());
        direct.insert(direct.end(), addressChanges.begin(), addressChanges.end());
        direct.insert(direct.end(), verifyChanges.begin(), verifyChanges.end());
        if (!direct.empty()) {
            IniOpen(context.settingsPath);
            try {
                for (const auto& [key, value] : direct) IniWriteString(kSettingsSection, key, value);
            } catch (...) {
                IniClose();
                throw;
            }
            IniClose();
        }
    } catch (const Exception& error) {
        std::fprintf(stderr, "%s\n", error.Message().c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
