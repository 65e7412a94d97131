#include "platform/stop_request.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace signposter::platform {

StopRequest::StopRequest() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopRequest::~StopRequest() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void StopRequest::Request() noexcept {
    m_requested.store(true, std::memory_order_relaxed);
    if (m_fd >= 0) {
        // Read back only by Withdraw: the counter stays above zero, so the descriptor stays readable for
        // every wait.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(m_fd, &one, sizeof one);
    }
}

void StopRequest::Withdraw() noexcept {
    if (m_fd >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(m_fd, &count, sizeof count);
    }
    m_requested.store(false, std::memory_order_relaxed);
}

}  // namespace signposter::platform
