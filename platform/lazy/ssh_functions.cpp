// libssh's functions as the SFTP client calls them, each forwarding to the library that LoadSsh() opened:
// the programs link no libssh, so that only an SFTP publication maps it.
#include <libssh/libssh.h>

#include "platform/lazy_library.h"

namespace {

using signposter::platform::LazyLibrary;
using signposter::platform::LoadedFunction;

// X(result, name, parameters, arguments): every function of the library the program calls.
#define SIGNPOSTER_SSH_FUNCTIONS(X)                                                                       \
    X(ssh_session, ssh_new, (void), ())                                                                   \
    X(void, ssh_free, (ssh_session session), (session))                                                   \
    X(int, ssh_options_set, (ssh_session session, enum ssh_options_e type, const void* value),            \
      (session, type, value))                                                                             \
    X(void, ssh_set_blocking, (ssh_session session, int blocking), (session, blocking))                   \
    X(int, ssh_connect, (ssh_session session), (session))                                                 \
    X(void, ssh_disconnect, (ssh_session session), (session))                                             \
    X(int, ssh_get_poll_flags, (ssh_session session), (session))                                          \
    X(const char*, ssh_get_error, (void* error), (error))                                                 \
    X(int, ssh_get_error_code, (void* error), (error))                                                    \
    X(const char*, ssh_get_kex_algo, (ssh_session session), (session))                                    \
    X(const char*, ssh_get_cipher_out, (ssh_session session), (session))                                  \
    X(int, ssh_get_server_publickey, (ssh_session session, ssh_key * key), (session, key))                \
    X(int, ssh_get_publickey_hash,                                                                        \
      (const ssh_key key, enum ssh_publickey_hash_type type, unsigned char** hash, size_t* length),       \
      (key, type, hash, length))                                                                          \
    X(char*, ssh_get_fingerprint_hash,                                                                    \
      (enum ssh_publickey_hash_type type, unsigned char* hash, size_t length), (type, hash, length))      \
    X(void, ssh_clean_pubkey_hash, (unsigned char** hash), (hash))                                        \
    X(void, ssh_string_free_char, (char* text), (text))                                                   \
    X(enum ssh_keytypes_e, ssh_key_type, (const ssh_key key), (key))                                      \
    X(const char*, ssh_key_type_to_char, (enum ssh_keytypes_e type), (type))                              \
    X(void, ssh_key_free, (ssh_key key), (key))                                                           \
    X(enum ssh_known_hosts_e, ssh_session_is_known_server, (ssh_session session), (session))              \
    X(int, ssh_pki_import_privkey_file,                                                                   \
      (const char* file, const char* passphrase, ssh_auth_callback ask, void* data, ssh_key* key),        \
      (file, passphrase, ask, data, key))                                                                 \
    X(int, ssh_pki_import_privkey_base64,                                                                 \
      (const char* text, const char* passphrase, ssh_auth_callback ask, void* data, ssh_key* key),        \
      (text, passphrase, ask, data, key))                                                                 \
    X(int, ssh_userauth_none, (ssh_session session, const char* user), (session, user))                   \
    X(int, ssh_userauth_list, (ssh_session session, const char* user), (session, user))                   \
    X(int, ssh_userauth_password, (ssh_session session, const char* user, const char* password),          \
      (session, user, password))                                                                          \
    X(int, ssh_userauth_publickey, (ssh_session session, const char* user, const ssh_key key),            \
      (session, user, key))                                                                               \
    X(int, ssh_userauth_agent, (ssh_session session, const char* user), (session, user))                  \
    X(ssh_channel, ssh_channel_new, (ssh_session session), (session))                                     \
    X(void, ssh_channel_free, (ssh_channel channel), (channel))                                           \
    X(int, ssh_channel_open_session, (ssh_channel channel), (channel))                                    \
    X(int, ssh_channel_request_subsystem, (ssh_channel channel, const char* name), (channel, name))       \
    X(int, ssh_channel_write, (ssh_channel channel, const void* data, uint32_t length),                   \
      (channel, data, length))                                                                            \
    X(int, ssh_channel_read_nonblocking, (ssh_channel channel, void* into, uint32_t count, int isStderr), \
      (channel, into, count, isStderr))                                                                   \
    X(int, ssh_channel_send_eof, (ssh_channel channel), (channel))                                        \
    X(int, ssh_channel_close, (ssh_channel channel), (channel))                                           \
    X(int, ssh_channel_is_eof, (ssh_channel channel), (channel))                                          \
    X(int, ssh_channel_is_closed, (ssh_channel channel), (channel))

struct Slots {
#define SIGNPOSTER_SLOT(result, name, parameters, arguments) std::atomic<void*> name{nullptr};
    SIGNPOSTER_SSH_FUNCTIONS(SIGNPOSTER_SLOT)
#undef SIGNPOSTER_SLOT
} g_slots;

const LazyLibrary::Symbol kSymbols[] = {
#define SIGNPOSTER_SYMBOL(result, name, parameters, arguments) {#name, &g_slots.name},
    SIGNPOSTER_SSH_FUNCTIONS(SIGNPOSTER_SYMBOL)
#undef SIGNPOSTER_SYMBOL
};

LazyLibrary& Library() {
    static LazyLibrary library("libssh.so.4", "SFTP needs libssh (package libssh-4)", kSymbols,
                               sizeof kSymbols / sizeof kSymbols[0]);
    return library;
}

}  // namespace

#define SIGNPOSTER_FORWARD(result, name, parameters, arguments)                                      \
    extern "C" result name parameters {                                                              \
        return reinterpret_cast<decltype(&name)>(LoadedFunction(Library(), g_slots.name)) arguments; \
    }
SIGNPOSTER_SSH_FUNCTIONS(SIGNPOSTER_FORWARD)
#undef SIGNPOSTER_FORWARD

namespace signposter::platform {

std::string LoadSsh() {
    return Library().Load();
}

}  // namespace signposter::platform
