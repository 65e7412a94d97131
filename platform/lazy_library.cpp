#include "platform/lazy_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace signposter::platform {

LazyLibrary::LazyLibrary(std::string path, std::string missing, const Symbol* symbols, std::size_t count)
    : m_path(std::move(path)), m_missing(std::move(missing)), m_symbols(symbols), m_count(count) {}

std::string LazyLibrary::Load() {
    const std::lock_guard<std::mutex> hold(m_lock);
    if (m_handle)
        return {};
    // A failure is not kept: the package may be installed while the tray program runs.
    // RTLD_LOCAL: the library's names stay out of the program's own look-ups.
    void* handle = ::dlopen(m_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        m_detail = why ? why : m_path + ": cannot be opened";
        return m_missing;
    }
    for (std::size_t i = 0; i < m_count; ++i) {
        void* function = ::dlsym(handle, m_symbols[i].name);
        if (!function) {
            m_detail = m_path + " has no " + m_symbols[i].name;
            ::dlclose(handle);
            return m_missing + ": the installed " + m_path + " is too old (it has no " + m_symbols[i].name +
                   ")";
        }
        m_symbols[i].slot->store(function, std::memory_order_release);
    }
    m_handle = handle;
    m_detail.clear();
    return {};
}

std::string LazyLibrary::Detail() const {
    const std::lock_guard<std::mutex> hold(m_lock);
    return m_detail;
}

void* LoadedFunction(LazyLibrary& library, const std::atomic<void*>& slot) {
    void* function = slot.load(std::memory_order_acquire);
    if (function)
        return function;
    if (const std::string problem = library.Load(); !problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        std::abort();
    }
    return slot.load(std::memory_order_acquire);
}

}  // namespace signposter::platform
