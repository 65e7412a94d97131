// libcurl's functions as the HTTP client calls them, each forwarding to the library that LoadCurl() opened:
// the programs link no libcurl, so that a plain FTP publication and the idle monitor never map it (nor
// Kerberos, LDAP, GnuTLS, nghttp2 and the rest it brings).
#include <cstdarg>

// The checking macros would take the names of the functions defined here.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include "platform/lazy_library.h"

namespace {

using signposter::platform::LazyLibrary;
using signposter::platform::LoadedFunction;

// X(result, name, parameters, arguments): every function of the library the program calls, but for the
// three with variable arguments below.
#define SIGNPOSTER_CURL_FUNCTIONS(X)                                                                 \
    X(CURLcode, curl_global_init, (long flags), (flags))                                             \
    X(curl_version_info_data*, curl_version_info, (CURLversion age), (age))                          \
    X(CURL*, curl_easy_init, (void), ())                                                             \
    X(void, curl_easy_cleanup, (CURL * curl), (curl))                                                \
    X(CURLcode, curl_easy_perform, (CURL * curl), (curl))                                            \
    X(void, curl_easy_reset, (CURL * curl), (curl))                                                  \
    X(const char*, curl_easy_strerror, (CURLcode code), (code))                                      \
    X(char*, curl_easy_escape, (CURL * curl, const char* text, int length), (curl, text, length))    \
    X(void, curl_free, (void* p), (p))                                                               \
    X(CURLM*, curl_multi_init, (void), ())                                                           \
    X(CURLMcode, curl_multi_cleanup, (CURLM * multi), (multi))                                       \
    X(CURLMcode, curl_multi_add_handle, (CURLM * multi, CURL * easy), (multi, easy))                 \
    X(CURLMcode, curl_multi_remove_handle, (CURLM * multi, CURL * easy), (multi, easy))              \
    X(CURLMcode, curl_multi_socket_action, (CURLM * multi, curl_socket_t s, int mask, int* running), \
      (multi, s, mask, running))                                                                     \
    X(CURLMsg*, curl_multi_info_read, (CURLM * multi, int* queued), (multi, queued))                 \
    X(const char*, curl_multi_strerror, (CURLMcode code), (code))                                    \
    X(curl_slist*, curl_slist_append, (curl_slist * list, const char* text), (list, text))           \
    X(void, curl_slist_free_all, (curl_slist * list), (list))                                        \
    X(CURLU*, curl_url, (void), ())                                                                  \
    X(void, curl_url_cleanup, (CURLU * url), (url))                                                  \
    X(CURLUcode, curl_url_get, (CURLU * url, CURLUPart part, char** text, unsigned int flags),       \
      (url, part, text, flags))                                                                      \
    X(CURLUcode, curl_url_set, (CURLU * url, CURLUPart part, const char* text, unsigned int flags),  \
      (url, part, text, flags))

#define SIGNPOSTER_VARIADIC_CURL_FUNCTIONS(X) \
    X(curl_easy_setopt)                       \
    X(curl_easy_getinfo)                      \
    X(curl_multi_setopt)

struct Slots {
#define SIGNPOSTER_SLOT(result, name, parameters, arguments) std::atomic<void*> name{nullptr};
    SIGNPOSTER_CURL_FUNCTIONS(SIGNPOSTER_SLOT)
#undef SIGNPOSTER_SLOT
#define SIGNPOSTER_SLOT(name) std::atomic<void*> name{nullptr};
    SIGNPOSTER_VARIADIC_CURL_FUNCTIONS(SIGNPOSTER_SLOT)
#undef SIGNPOSTER_SLOT
} g_slots;

const LazyLibrary::Symbol kSymbols[] = {
#define SIGNPOSTER_SYMBOL(result, name, parameters, arguments) {#name, &g_slots.name},
    SIGNPOSTER_CURL_FUNCTIONS(SIGNPOSTER_SYMBOL)
#undef SIGNPOSTER_SYMBOL
#define SIGNPOSTER_SYMBOL(name) {#name, &g_slots.name},
        SIGNPOSTER_VARIADIC_CURL_FUNCTIONS(SIGNPOSTER_SYMBOL)
#undef SIGNPOSTER_SYMBOL
};

LazyLibrary& Library() {
    static LazyLibrary library("libcurl.so.4", "HTTP needs libcurl (package libcurl4)", kSymbols,
                               sizeof kSymbols / sizeof kSymbols[0]);
    return library;
}

template <typename Function>
Function Real(const std::atomic<void*>& slot) {
    return reinterpret_cast<Function>(LoadedFunction(Library(), slot));
}

// One option's value, read as the type its number announces (curl.h: each option's number lies in the
// range of its type) and passed on as that same type.
using AnyFunction = void (*)();
template <typename Result, typename Handle, typename Option>
Result ForwardOption(const std::atomic<void*>& slot, Handle* handle, Option option, va_list arguments) {
    const auto real = Real<Result (*)(Handle*, Option, ...)>(slot);
    const int number = static_cast<int>(option);
    if (number < CURLOPTTYPE_OBJECTPOINT)
        return real(handle, option, va_arg(arguments, long));
    if (number < CURLOPTTYPE_FUNCTIONPOINT || number >= CURLOPTTYPE_BLOB)
        return real(handle, option, va_arg(arguments, void*));
    if (number < CURLOPTTYPE_OFF_T)
        return real(handle, option, va_arg(arguments, AnyFunction));
    return real(handle, option, va_arg(arguments, curl_off_t));
}

}  // namespace

#define SIGNPOSTER_FORWARD(result, name, parameters, arguments) \
    extern "C" result name parameters {                         \
        return Real<decltype(&name)>(g_slots.name) arguments;   \
    }
SIGNPOSTER_CURL_FUNCTIONS(SIGNPOSTER_FORWARD)
#undef SIGNPOSTER_FORWARD

extern "C" CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...) {
    va_list arguments;
    va_start(arguments, option);
    const CURLcode code = ForwardOption<CURLcode>(g_slots.curl_easy_setopt, curl, option, arguments);
    va_end(arguments);
    return code;
}

extern "C" CURLMcode curl_multi_setopt(CURLM* multi, CURLMoption option, ...) {
    va_list arguments;
    va_start(arguments, option);
    const CURLMcode code = ForwardOption<CURLMcode>(g_slots.curl_multi_setopt, multi, option, arguments);
    va_end(arguments);
    return code;
}

// Every CURLINFO_ takes a pointer to where the answer goes.
extern "C" CURLcode curl_easy_getinfo(CURL* curl, CURLINFO info, ...) {
    va_list arguments;
    va_start(arguments, info);
    void* answer = va_arg(arguments, void*);
    va_end(arguments);
    return Real<CURLcode (*)(CURL*, CURLINFO, ...)>(g_slots.curl_easy_getinfo)(curl, info, answer);
}

namespace signposter::platform {

std::string LoadCurl() {
    return Library().Load();
}

}  // namespace signposter::platform
