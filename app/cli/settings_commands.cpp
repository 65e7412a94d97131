// `show` and `set`: the settings without a window.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "app/cli/commands.h"
#include "app/cli/headless_user_interface.h"
#include "core/password_store.h"
#include "core/extended_settings.h"
#include "core/ini_store.h"
#include "core/settings.h"
#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter::cli {

namespace {

int Refuse(const std::string& message) {
    std::fprintf(stderr, "signposter-cli set: %s\n", message.c_str());
    return 2;
}

// One line of standard input. At a terminal it asks for it and does not echo it: the password must not
// stand on the screen; from a pipe it reads silently.
std::string ReadPassword() {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) line += static_cast<char>(c);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// Where the page goes, said whenever a change moves it; and how to get it inside the folder when the
// remote path runs into the page name.
void TellWhereThePageGoes(const LiveSettings& fields) {
    std::printf("%s\n", RemoteFileNote(fields).c_str());
    if (const std::string warning = RemotePathWarning(fields); !warning.empty())
        std::fprintf(stderr, "signposter-cli set: warning: %s\n", warning.c_str());
}

// The key and value of one argument, or why it is none.
std::optional<std::pair<const SettingKey*, std::string>> ParsePair(const std::string& arg, std::string& why) {
    const std::size_t eq = arg.find('=');
    std::string name = arg.substr(0, eq);
    // The name people reach for first, beside "--source interface:NAME".
    if (name == "Interface")
        name = "AddressInterface";
    const SettingKey* key = FindSettingKey(name);
    if (key && key->owner != KeyOwner::User)
        key = nullptr;
    const SettingKey* near = key ? key : NearestUserKey(name);
    if (eq == std::string::npos) {
        why = "'" + text::Printable(arg) + "' has no value: write " +
              (near ? std::string(near->name) : text::Printable(name)) + "=VALUE";
        return std::nullopt;
    }
    if (!key) {
        why =
            "unknown setting '" + text::Printable(name) + "'" +
            (near ? "; did you mean " + std::string(near->name) + "?" : std::string(" (expected KEY=VALUE)"));
        return std::nullopt;
    }
    return std::make_pair(key, arg.substr(eq + 1));
}

// Puts the password where PasswordStore now says, before the file is written: a keyring that refuses
// leaves the file as it was. `typed` is the password of --password-stdin. Nothing, or why not.
std::optional<std::string> KeepPassword(Context& context, const std::string& storeBefore,
                                        const std::optional<std::string>& typed) {
    const auto kindOf = [](const std::string& value) {
        return ParsePasswordStore(value).value_or(PasswordStoreChoice{}).kind;
    };
    const PasswordStoreChoice store = ParsePasswordStore(context.state.PasswordStore).value_or(PasswordStoreChoice{});
    const PasswordStoreKind before = kindOf(storeBefore);
    const PasswordKey key = StoredPasswordKey(context.fields, context.state);
    const Clock& clock = HeadlessUserInterface::StoppableClock();
    switch (store.kind) {
        case PasswordStoreKind::File:
            if (before == PasswordStoreKind::Keyring && !typed) {
                // Back into the file: the keyring's password, else the move would lose it.
                const PasswordAnswer answer = ReadPassword(clock, {PasswordStoreKind::Keyring, {}}, key, "");
                if (!answer.password)
                    return answer.problem;
                context.fields.SetText(TextField::Password, *answer.password);
            }
            return std::nullopt;
        case PasswordStoreKind::Keyring:
            if (typed)
                return StorePassword(clock, store, key, *typed);
            if (before != PasswordStoreKind::Keyring && !context.fields.Text(TextField::Password).empty())
                return MovePasswordToKeyring(clock, key, context.fields.Text(TextField::Password));
            return std::nullopt;
        case PasswordStoreKind::Command:
            return typed ? StorePassword(clock, store, key, *typed) : std::nullopt;
    }
    return std::nullopt;
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
    try {
        LoadSettings(context.fields, context.state, context.settingsPath);
    } catch (const Exception& error) {
        std::fprintf(stderr, "%s\n", error.Message().c_str());
        return 1;
    }
    for (const SettingKey& key : SettingKeys()) {
        if (key.showing == Showing::Nothing)
            continue;
        std::string value = KeyValue(key, context.fields, context.state);
        // Only whether one is set; never the password itself.
        if (key.showing == Showing::Masked && !value.empty())
            value.assign(8, '*');
        std::printf("%s=%s\n", key.name, text::Printable(value).c_str());
    }
    std::printf("%s\n", RemoteFileNote(context.fields).c_str());
    return 0;
}

int RunSet(Context& context, const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fputs("usage: signposter-cli set [--password-stdin] KEY=VALUE [KEY=VALUE ...]\n", stderr);
        return 2;
    }
    // Every pair is checked before the file is read, so a usage error leaves the file untouched.
    KeyValues changes;
    for (const std::string& arg : args) {
        // The password from standard input keeps it out of the process list and the shell's history.
        if (arg == "--password-stdin") {
            changes.emplace_back("Password", ReadPassword());
            continue;
        }
        std::string why;
        const auto pair = ParsePair(arg, why);
        if (!pair)
            return Refuse(why);
        const auto& [key, value] = *pair;
        if (const auto problem = ValueProblem(*key, value)) {
            const std::string shown =
                key->showing == Showing::Masked ? "" : " ('" + text::Printable(value) + "')";
            return Refuse(*problem + shown + "; " + key->name + ": " + key->meaning);
        }
        changes.emplace_back(key->name, value);
    }

    // One read and one replacement of the file under its lock: it holds every change of this command or
    // none.
    const bool existed = platform::FileExists(context.settingsPath);
    bool moved = false;
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
        // What this command would leave a publication to refuse (a web source without its page, a second
        // template option): refused here, where the user is.
        for (const SettingProblem& problem : ChangeProblems(context.fields, context.state, changes))
            return Refuse(problem.message + " (" + problem.key + ")");
        const std::string storeBefore = context.state.PasswordStore;
        std::optional<std::string> typed;
        for (const auto& [name, value] : changes) {
            if (name == "Password")
                typed = value;
        }
        for (const auto& [name, value] : changes) {
            const SettingKey& key = *FindSettingKey(name);
            PutKeyValue(key, context.fields, context.state, value);
            moved = moved || key.field == TextField::RemotePath || key.field == TextField::PageName;
        }
        if (const auto problem = KeepPassword(context, storeBefore, typed)) {
            std::fprintf(stderr, "signposter-cli set: %s; the settings file is unchanged\n",
                         text::Printable(*problem).c_str());
            return 1;
        }
        KeyValues values = SavedSettings(context.fields, context.state, existed);
        // Keys a save does not write (the ignore list after the first save, the keys beyond the window's)
        // go into the file as given: this is how a user without a desktop edits them.
        for (const auto& [name, value] : changes)
            if (FindSettingKey(name)->saving != Saving::Always)
                values.emplace_back(name, value);
        IniWriteStrings(kSettingsSection, values, KeysKeptElsewhere(context.state));
        closer.armed = false;
        IniClose();
    } catch (const Exception& error) {
        std::fprintf(stderr, "%s\n", error.Message().c_str());
        return 1;
    }
    if (moved)
        TellWhereThePageGoes(context.fields);
    return 0;
}

}  // namespace signposter::cli
