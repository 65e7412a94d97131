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
        // Never read back: the counter stays above zero, so the descriptor stays readable for every wait.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(m_fd, &one, sizeof one);
    }
}

}  // namespace signposter::platform
