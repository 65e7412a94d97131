#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

namespace signposter::platform {

// A shared library opened the first time a feature needs it, so that a program that never uses the
// feature maps none of it (nor the libraries it drags in). Every function the program calls is resolved
// at the load, so that a library too old for us is refused there, in words, rather than at the call.
class LazyLibrary {
public:
    struct Symbol {
        const char* name;
        std::atomic<void*>* slot;  // where the function's address goes
    };

    // `path` is a soname ("libssh.so.4") or a file; `missing` is what the user reads when it cannot be
    // opened ("SFTP needs libssh (package libssh-4)").
    LazyLibrary(std::string path, std::string missing, const Symbol* symbols, std::size_t count);
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    // Opens the library and fills every slot, once; later calls answer at once. Empty when ready,
    // otherwise the message for the user. Safe from any thread.
    std::string Load();
    // Why the last Load failed, as the dynamic linker said it (for --verbose); empty when it did not.
    std::string Detail() const;

private:
    const std::string m_path;
    const std::string m_missing;
    const Symbol* m_symbols;
    const std::size_t m_count;
    mutable std::mutex m_lock;
    void* m_handle = nullptr;
    std::string m_problem;
    std::string m_detail;
};

// The address of a function of a library that the program has loaded already (its client's session
// set-up calls Load first). A call without it ends the program with the library's message: that is a
// fault of ours, and nothing sensible can be returned in the library's own types.
void* LoadedFunction(LazyLibrary& library, const std::atomic<void*>& slot);

// The libraries of the HTTP and SFTP clients (their targets lazy_curl and lazy_ssh define these), loaded
// by each client's session set-up: empty when ready, otherwise what the user reads.
std::string LoadCurl();
std::string LoadSsh();

}  // namespace signposter::platform
