#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"

// Where the web host's password lives (PasswordStore): in the settings file, scrambled as it always was
// ("file", the default); in the desktop's keyring through the freedesktop Secret Service ("keyring"); or
// with a command of the user's that prints it ("command:pass show web/ftp"). The SSH key's passphrase
// follows the same store.
namespace signposter {

enum class PasswordStoreKind { File, Keyring, Command };

struct PasswordStoreChoice {
    PasswordStoreKind kind = PasswordStoreKind::File;
    std::string command;  // the command line after "command:"
};

// The value read ("", "file", "keyring", "command:..."; the names in any case); nothing for anything else.
std::optional<PasswordStoreChoice> ParsePasswordStore(std::string_view value);
// What is wrong with a PasswordStore value, or nothing; for validation.
std::optional<std::string> PasswordStoreProblem(std::string_view value);

// What the keyring files the password under, besides application=signposter.
struct PasswordKey {
    std::string host;
    std::string port;
    std::string user;
    std::string protocol;  // "FTP", "SFTP"
};

struct PasswordAnswer {
    std::optional<std::string> password;
    std::string problem;  // why there is none, in words for the user
};

inline constexpr char kKeyringUnavailable[] = "The keyring is locked or not running (PasswordStore=keyring)";
// A keyring may ask the user to unlock it with a prompt of its own: time to type a password. The command
// gets what a password manager needs to answer, not a network exchange.
inline constexpr int kKeyringTimeLimitMs = 60'000;
inline constexpr int kPasswordCommandTimeLimitMs = 10'000;

// The password from the chosen store; `filePassword` is the settings file's Password, unscrambled, which
// is the answer of the file store. A store that cannot answer says why; it never falls back to the file.
// Waits on `clock`: its stop request ends the wait.
PasswordAnswer ReadPassword(const Clock& clock, const PasswordStoreChoice& store, const PasswordKey& key,
                            const std::string& filePassword);

// Writes the password to the keyring; nothing, or why it could not. The file store is written with the
// settings file, and a command's store is the user's own to write: both answer why not.
std::optional<std::string> StorePassword(const Clock& clock, const PasswordStoreChoice& store,
                                         const PasswordKey& key, const std::string& password);

// Moving to the keyring: writes the file's password there and reads it back. Only when this answers
// nothing may the caller blank the file's Password: a keyring that refuses leaves the file holding it.
std::optional<std::string> MovePasswordToKeyring(const Clock& clock, const PasswordKey& key,
                                                 const std::string& filePassword);

}  // namespace signposter
