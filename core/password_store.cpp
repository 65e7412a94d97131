#include "core/password_store.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <thread>

#include "platform/child_process.h"
#include "platform/text.h"

namespace signposter {

namespace {

constexpr char kCommandPrefix[] = "COMMAND:";

}  // namespace

std::optional<PasswordStoreChoice> ParsePasswordStore(std::string_view value) {
    const std::string trimmed = text::Trim(value);
    const std::string upper = text::UpperAscii(trimmed);
    if (upper.empty() || upper == "FILE")
        return PasswordStoreChoice{};
    if (upper == "KEYRING")
        return PasswordStoreChoice{PasswordStoreKind::Keyring, {}};
    if (upper.rfind(kCommandPrefix, 0) == 0)
        return PasswordStoreChoice{PasswordStoreKind::Command, trimmed.substr(sizeof kCommandPrefix - 1)};
    return std::nullopt;
}

std::optional<std::string> PasswordStoreProblem(std::string_view value) {
    const auto store = ParsePasswordStore(value);
    if (!store)
        return "PasswordStore takes file, keyring or command: and a command";
    if (store->kind != PasswordStoreKind::Command)
        return std::nullopt;
    std::string problem;
    const auto words = platform::SplitCommandLine(store->command, &problem);
    if (!words)
        return "PasswordStore command: " + problem;
    if (words->empty())
        return "PasswordStore command: no command after command:";
    return std::nullopt;
}

namespace {

// --- The Secret Service through libsecret, opened when first asked: a user of the file store never maps it.

// libsecret's and GLib's own declarations, as far as these calls use them.
struct GError {
    std::uint32_t domain;
    int code;
    char* message;
};
struct SecretSchemaAttribute {
    const char* name;
    int type;  // SECRET_SCHEMA_ATTRIBUTE_STRING = 0
};
struct SecretSchema {
    const char* name;
    int flags;  // SECRET_SCHEMA_NONE = 0
    SecretSchemaAttribute attributes[32];
    int reserved;
    void* reserved1;
    void* reserved2;
    void* reserved3;
    void* reserved4;
    void* reserved5;
    void* reserved6;
    void* reserved7;
};

struct Libsecret {
    using Lookup = char* (*)(const SecretSchema*, void* cancellable, GError**, ...);
    using Store = int (*)(const SecretSchema*, const char* collection, const char* label,
                          const char* password, void* cancellable, GError**, ...);
    struct GList {
        void* data;
        GList* next;
        GList* prev;
    };
    using Search = GList* (*)(const SecretSchema*, int flags, void* cancellable, GError**, ...);
    Lookup lookup = nullptr;
    Search search = nullptr;
    void (*freeList)(GList*, void (*)(void*)) = nullptr;
    Store store = nullptr;
    void (*freePassword)(char*) = nullptr;
    void (*freeError)(GError*) = nullptr;
    void* (*newCancellable)() = nullptr;
    void (*cancel)(void*) = nullptr;
    void (*unref)(void*) = nullptr;
    std::string problem;
};

const Libsecret& LoadLibsecret() {
    static const Libsecret library = [] {
        Libsecret lib;
        void* handle = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            lib.problem =
                "The keyring cannot be used: libsecret-1.so.0 is not installed (PasswordStore=keyring)";
            return lib;
        }
        // GLib's functions come with libsecret, which needs them.
        const auto symbol = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(handle, name));
            if (!function)
                lib.problem = std::string("The keyring cannot be used: libsecret lacks ") + name +
                              " (PasswordStore=keyring)";
        };
        symbol(lib.lookup, "secret_password_lookup_sync");
        symbol(lib.store, "secret_password_store_sync");
        symbol(lib.search, "secret_password_search_sync");
        symbol(lib.freeList, "g_list_free_full");
        symbol(lib.freePassword, "secret_password_free");
        symbol(lib.freeError, "g_error_free");
        symbol(lib.newCancellable, "g_cancellable_new");
        symbol(lib.cancel, "g_cancellable_cancel");
        symbol(lib.unref, "g_object_unref");
        return lib;  // the handle stays open for the program's life, as the functions do
    }();
    return library;
}

const SecretSchema& Schema() {
    static const SecretSchema schema = {
        "org.signposter.Password",
        0,
        {{"application", 0}, {"host", 0}, {"port", 0}, {"user", 0}, {"protocol", 0}, {nullptr, 0}},
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return schema;
}

// One call of libsecret, made on a thread of its own: its sync calls wait on D-Bus (and on a prompt
// the keyring may show) without our clock. The caller waits on the clock for the thread's word; when the
// bound passes or a stop is requested the call is cancelled, and a call that ignores that is left to end on
// its own, touching nothing but its own shared state.
struct KeyringCall {
    std::optional<std::string> password;  // what a lookup found
    bool ok = false;
    bool errored = false;
    std::string error;
    int readyRead = -1;
    int readyWrite = -1;
    void* cancellable = nullptr;
    ~KeyringCall() {
        for (const int fd : {readyRead, readyWrite})
            if (fd >= 0)
                ::close(fd);
        if (cancellable)
            LoadLibsecret().unref(cancellable);
    }
};

std::optional<std::string> RunKeyringCall(
    const Clock& clock, void (*body)(const Libsecret&, KeyringCall&, const PasswordKey&, const std::string&),
    const PasswordKey& key, const std::string& password, std::optional<std::string>* found) {
    const Libsecret& lib = LoadLibsecret();
    if (!lib.problem.empty())
        return lib.problem;
    auto call = std::make_shared<KeyringCall>();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return kKeyringUnavailable;
    call->readyRead = fds[0];
    call->readyWrite = fds[1];
    call->cancellable = lib.newCancellable();
    std::thread worker([call, body, key, password, &lib] {
        body(lib, *call, key, password);
        const char done = 1;
        (void)!::write(call->readyWrite, &done, 1);
    });
    pollfd ready{call->readyRead, POLLIN, 0};
    const std::int64_t deadline = clock.DeadlineAfter(kKeyringTimeLimitMs);
    int answered;
    do {
        answered = clock.Poll(&ready, 1, deadline);
    } while (answered == 0 && !clock.Passed(deadline));
    if (answered <= 0) {
        lib.cancel(call->cancellable);
        // A cancelled call ends at once; one that does not is not waited for beyond a moment.
        pollfd moment{call->readyRead, POLLIN, 0};
        if (::poll(&moment, 1, 1000) > 0)
            worker.join();
        else
            worker.detach();
        return clock.Cancelled()
                   ? "The keyring was not asked to the end: the program is stopping"
                   : "The keyring did not answer within " + std::to_string(kKeyringTimeLimitMs / 1000) +
                         " s (PasswordStore=keyring)";
    }
    worker.join();
    if (call->errored)
        return std::string(kKeyringUnavailable);
    if (found)
        *found = call->password;
    return std::nullopt;
}

void TakeError(const Libsecret& lib, KeyringCall& call, GError* error) {
    if (!error)
        return;
    call.errored = true;
    call.error = error->message ? error->message : "";
    lib.freeError(error);
}

void LookupBody(const Libsecret& lib, KeyringCall& call, const PasswordKey& key, const std::string&) {
    GError* error = nullptr;
    char* password = lib.lookup(&Schema(), call.cancellable, &error, "application", "signposter", "host",
                                key.host.c_str(), "port", key.port.c_str(), "user", key.user.c_str(),
                                "protocol", key.protocol.c_str(), static_cast<char*>(nullptr));
    TakeError(lib, call, error);
    if (password) {
        call.password = std::string(password);
        lib.freePassword(password);
        return;
    }
    if (call.errored)
        return;
    // Nothing, and no error: a locked keyring whose unlock prompt was dismissed (or could not be shown)
    // answers so too. Its items are listed all the same when not asked to unlock them.
    constexpr int kSearchAll = 1 << 1;
    Libsecret::GList* items =
        lib.search(&Schema(), kSearchAll, call.cancellable, &error, "application", "signposter", "host",
                   key.host.c_str(), "port", key.port.c_str(), "user", key.user.c_str(), "protocol",
                   key.protocol.c_str(), static_cast<char*>(nullptr));
    TakeError(lib, call, error);
    if (items) {
        call.errored = true;
        lib.freeList(items, lib.unref);
    }
}

void StoreBody(const Libsecret& lib, KeyringCall& call, const PasswordKey& key, const std::string& password) {
    GError* error = nullptr;
    const std::string label =
        "Signposter: " + key.user + "@" + key.host + ":" + key.port + " (" + key.protocol + ")";
    call.ok =
        lib.store(&Schema(), "default", label.c_str(), password.c_str(), call.cancellable, &error,
                  "application", "signposter", "host", key.host.c_str(), "port", key.port.c_str(), "user",
                  key.user.c_str(), "protocol", key.protocol.c_str(), static_cast<char*>(nullptr)) != 0;
    TakeError(lib, call, error);
    if (!call.ok)
        call.errored = true;
}

std::string Where(const PasswordKey& key) {
    return key.user + "@" + key.host + ":" + key.port;
}

PasswordAnswer ReadFromKeyring(const Clock& clock, const PasswordKey& key) {
    std::optional<std::string> found;
    if (auto problem = RunKeyringCall(clock, LookupBody, key, {}, &found))
        return {std::nullopt, *problem};
    if (!found)
        return {std::nullopt, "The keyring holds no password for " + Where(key) + " (PasswordStore=keyring)"};
    return {found, {}};
}

// --- A command of the user's that prints the password.

PasswordAnswer ReadFromCommand(const Clock& clock, const std::string& commandLine) {
    platform::ChildRequest request;
    std::string problem;
    auto words = platform::SplitCommandLine(commandLine, &problem);
    if (!words || words->empty())
        return {std::nullopt, "PasswordStore command: " + (words ? "no command" : problem)};
    request.argv = std::move(*words);
    request.timeLimitMs = kPasswordCommandTimeLimitMs;
    const platform::ChildResult result = platform::RunChild(clock, request);
    const std::string name = text::Printable(request.argv[0]);
    const auto withErrors = [&](std::string message) {
        // What it said on stderr is what tells the user what went wrong (a locked password manager).
        const auto lines = text::SplitLines(result.errors);
        if (!lines.empty() && !text::Trim(lines.front()).empty())
            message += ": " + text::Printable(text::Trim(lines.front()));
        return PasswordAnswer{std::nullopt, message + " (PasswordStore=command:)"};
    };
    if (result.end != platform::ChildResult::End::Exited || result.status != 0)
        return withErrors("The password command " + name + " " +
                          platform::DescribeEnd(result, kPasswordCommandTimeLimitMs));
    const auto lines = text::SplitLines(result.output);
    if (lines.empty() || lines.front().empty())
        return withErrors("The password command " + name + " printed no password");
    return {lines.front(), {}};
}

}  // namespace

PasswordAnswer ReadPassword(const Clock& clock, const PasswordStoreChoice& store, const PasswordKey& key,
                            const std::string& filePassword) {
    switch (store.kind) {
        case PasswordStoreKind::File:
            return {filePassword, {}};
        case PasswordStoreKind::Keyring:
            return ReadFromKeyring(clock, key);
        case PasswordStoreKind::Command:
            return ReadFromCommand(clock, store.command);
    }
    return {filePassword, {}};
}

std::optional<std::string> StorePassword(const Clock& clock, const PasswordStoreChoice& store,
                                         const PasswordKey& key, const std::string& password) {
    switch (store.kind) {
        case PasswordStoreKind::File:
            return "The settings file holds the password (PasswordStore=file)";
        case PasswordStoreKind::Command:
            return "The password command only reads the password: store it where the command finds it "
                   "(PasswordStore=command:)";
        case PasswordStoreKind::Keyring:
            break;
    }
    return RunKeyringCall(clock, StoreBody, key, password, nullptr);
}

std::optional<std::string> MovePasswordToKeyring(const Clock& clock, const PasswordKey& key,
                                                 const std::string& filePassword) {
    const PasswordStoreChoice keyring{PasswordStoreKind::Keyring, {}};
    if (auto problem = StorePassword(clock, keyring, key, filePassword))
        return problem;
    // Read back: only a password the keyring gives again may leave the file.
    const PasswordAnswer back = ReadFromKeyring(clock, key);
    if (!back.password)
        return back.problem;
    if (*back.password != filePassword)
        return "The keyring gave back another password for " + Where(key) + " (PasswordStore=keyring)";
    return std::nullopt;
}

}  // namespace signposter
