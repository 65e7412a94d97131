#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace signposter::platform {

// Threads nobody waits for as they run, which still must not outlive main. Each is joined once it has
// ended (at a later Add, which keeps a program that runs all day from gathering them), and at the latest
// by JoinAll or the registry's destruction, which first asks every thread still running to stop. The
// threads' own waits are bounded, so joining them is too.
class JoinedThreads {
public:
    JoinedThreads() = default;
    JoinedThreads(const JoinedThreads&) = delete;
    JoinedThreads& operator=(const JoinedThreads&) = delete;
    ~JoinedThreads() { JoinAll(); }

    // The program's own: the background checks' threads and the resolver's. Joined by whoever ends the
    // program before main returns (a front end with such threads), or at the latest as the program exits.
    static JoinedThreads& Program();

    // `ended` turns true as the thread's last act; `stop`, when given, makes its waits end at once.
    void Add(std::thread thread, std::shared_ptr<const std::atomic<bool>> ended,
             std::function<void()> stop = {});
    // Asks every thread to stop and joins them all, those added meanwhile (by a thread being joined) too.
    void JoinAll();
    // Threads added and not joined yet.
    std::size_t Count();

private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<const std::atomic<bool>> ended;
        std::function<void()> stop;
    };
    std::mutex m_lock;
    std::vector<Entry> m_threads;  // under m_lock
};

}  // namespace signposter::platform
