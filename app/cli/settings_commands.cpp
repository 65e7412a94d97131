// `show` and `set`: the settings without a window.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "app/cli/commands.h"
#include "core/address_class.h"
#include "core/extended_settings.h"
#include "core/ini_store.h"
#include "core/settings.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter::cli {

namespace {

// The keys of the window's fields and the program-wide values, in the order SaveSettings writes them;
// the keys beyond them come from their table (core/extended_settings.h).
struct KeyBinding {
    const char* key;
    std::optional<TextField> text;
    std::optional<Switch> flag;
    // Why `set` refuses the value, or nothing.
    std::optional<std::string> (*check)(const std::string& value) = nullptr;
};

const KeyBinding kBindings[] = {
    {"Host", TextField::Host, {}},
    // A number outside 1..65535 would wrap to another port and send the password there; any other text
    // keeps the connection's own message ("'abc' is not a valid integer value.").
    {"Port", TextField::Port, {}, [](const std::string& v) { return PortProblem(v); }},
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
    {"LastIP",
     {},
     {},
     [](const std::string& v) -> std::optional<std::string> {
         // The address the next tick compares with: anything else would be taken for a change, or be
         // published as it stands.
         if (!v.empty() && !ParseDottedQuad(v))
             return "LastIP takes an IPv4 address such as 192.0.2.1";
         return std::nullopt;
     }},
};

const KeyBinding* FindBinding(const std::string& key) {
    for (const auto& binding : kBindings) {
        if (key == binding.key)
            return &binding;
    }
    return nullptr;
}

const SettingKey* FindUserKey(const std::string& name) {
    const SettingKey* key = FindSettingKey(name);
    return key && key->owner == KeyOwner::User ? key : nullptr;
}

int Refuse(const std::string& message) {
    std::fprintf(stderr, "signposter-cli set: %s\n", message.c_str());
    return 2;
}

}  // namespace

int RunShow(Context& context, const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "--help") {
        for (const SettingKey& key : SettingKeys()) {
            if (key.owner == KeyOwner::User)
                std::printf("%s: %s\n", key.name, key.meaning);
        }
        return 0;
    }
    if (!args.empty()) {
        std::fputs("usage: signposter-cli show [--help]\n", stderr);
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
        } else if (std::string(binding.key) == "IgnoreIP") {
            value = context.state.IgnoreList;
        } else {
            value = context.state.CurrentIP;
        }
        std::printf("%s=%s\n", binding.key, value.c_str());
    }
    for (const SettingKey& key : SettingKeys()) {
        if (key.owner == KeyOwner::User)
            std::printf("%s=%s\n", key.name, key.get(context.state).c_str());
    }
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
    KeyValues extended;
    for (const auto& arg : pairs) {
        const std::size_t eq = arg.find('=');
        std::string key = eq == std::string::npos ? arg : arg.substr(0, eq);
        // The name people reach for first, beside "--source interface:NAME".
        if (key == "Interface")
            key = "AddressInterface";
        const std::string value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
        if (const SettingKey* known = eq == std::string::npos ? nullptr : FindUserKey(key)) {
            if (const auto problem = ValueProblem(*known, value))
                return Refuse(*problem + " ('" + text::Printable(value) + "'); " + key + ": " +
                              known->meaning);
            extended.emplace_back(key, value);
            continue;
        }
        const KeyBinding* binding = eq == std::string::npos ? nullptr : FindBinding(key);
        if (!binding)
            return Refuse("unknown setting '" + text::Printable(arg) + "' (expected KEY=VALUE)");
        // A line break would split the setting's line in the file and could forge other keys.
        if (text::HasLineBreak(value))
            return Refuse(key + " may not contain a line break");
        if (binding->flag && value != "0" && value != "1")
            return Refuse(key + " takes 1 or 0, not '" + text::Printable(value) + "'");
        if (binding->check)
            if (const auto problem = binding->check(value))
                return Refuse(*problem + ", not '" + text::Printable(value) + "'");
        changes.emplace_back(binding, value);
    }

    // One read and one replacement of the file: it holds every change of this command or none.
    const bool existed = platform::FileExists(context.settingsPath);
    try {
        IniOpen(context.settingsPath);
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
        ReadSettings(context.fields, context.state);
        const ProgramState before = context.state;
        std::optional<std::string> ignoreList;
        for (const auto& [binding, value] : changes) {
            if (binding->flag) {
                context.fields.SetChecked(*binding->flag, value == "1");
            } else if (binding->text) {
                context.fields.SetText(*binding->text, value);
            } else if (std::string(binding->key) == "IgnoreIP") {
                ignoreList = value;
            } else {
                context.state.CurrentIP = value;
            }
        }
        ApplySettingKeys(context.state, extended);
        // What this command would leave for the monitor to refuse (a web source without its page): refused
        // here, where the user is; what the file already had wrong is not this command's to mend.
        const std::vector<SettingProblem> was = ExtendedSettingsProblems(before);
        for (const SettingProblem& problem : ExtendedSettingsProblems(context.state)) {
            if (std::find(was.begin(), was.end(), problem) == was.end())
                return Refuse(problem.message + " (" + problem.key + ")");
        }
        KeyValues values = SavedSettings(context.fields, context.state, existed);
        // The program never rewrites this key itself; this is how a user without a desktop edits the list.
        if (ignoreList) {
            context.state.IgnoreList = *ignoreList;
            values.emplace_back("IgnoreIP", *ignoreList);
        }
        // Keys the program never writes itself go straight into the file.
        values.insert(values.end(), extended.begin(), extended.end());
        IniWriteStrings(kSettingsSection, values);
        closer.armed = false;
        IniClose();
    } catch (const Exception& error) {
        std::fprintf(stderr, "%s\n", error.Message().c_str());
        return 1;
    }
    return 0;
}

}  // namespace signposter::cli
