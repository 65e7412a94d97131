#pragma once

#include <atomic>

namespace signposter::platform {

// A request to end the program that every wait notices at once: its descriptor turns readable and stays
// so, and the system clock's waits watch it beside their own descriptors. Request() is safe in a signal
// handler.
class StopRequest {
public:
    StopRequest();
    ~StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    void Request() noexcept;
    // Withdraws a request once nothing waits any more, for a program that was asked to end and could not
    // (its settings could not be saved): its later waits must wait again.
    void Withdraw() noexcept;
    bool Requested() const noexcept { return m_requested.load(std::memory_order_relaxed); }
    // Readable once a stop has been requested; -1 when no descriptor could be had (waits then notice the
    // request only when they end).
    int Descriptor() const noexcept { return m_fd; }

private:
    int m_fd = -1;
    std::atomic<bool> m_requested{false};
};

}  // namespace signposter::platform
