#pragma once

#include <unistd.h>

#include <cerrno>

namespace signposter::platform {

// Owns a file descriptor and closes it when it leaves scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }
    // Closes it now, for a caller that must know whether the close succeeded (an interrupted close has
    // released the descriptor all the same).
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 || errno == EINTR;
    }

private:
    int m_fd;
};

}  // namespace signposter::platform
