#include "platform/joined_threads.h"

namespace signposter::platform {

void JoinedThreads::Add(std::thread thread, std::shared_ptr<const std::atomic<bool>> ended,
                        std::function<void()> stop) {
    const std::lock_guard lock(m_lock);
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->ended->load()) {
            it->thread.join();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
    m_threads.push_back({std::move(thread), std::move(ended), std::move(stop)});
}

JoinedThreads& JoinedThreads::Program() {
    static JoinedThreads threads;
    return threads;
}

void JoinedThreads::JoinAll() {
    for (;;) {
        std::vector<Entry> threads;
        {
            const std::lock_guard lock(m_lock);
            threads.swap(m_threads);
        }
        if (threads.empty())
            return;
        for (Entry& entry : threads)
            if (entry.stop)
                entry.stop();
        for (Entry& entry : threads) entry.thread.join();
    }
}

std::size_t JoinedThreads::Count() {
    const std::lock_guard lock(m_lock);
    return m_threads.size();
}

}  // namespace signposter::platform
