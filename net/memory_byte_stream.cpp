#include "net/memory_byte_stream.h"

#include <algorithm>
#include <cstring>

#include "net/id_exceptions.h"

namespace signposter::net {

bool MemoryByteStream::WaitReadable(int /*timeoutMs*/) {
    if (!m_isOpen)
        throw EIdConnClosedGracefully(kMsgConnectionClosedGracefully);
    // Bytes or the end of the stream are always there to be read.
    return true;
}

int MemoryByteStream::ReceiveBytes(char* area, int size) {
    ++m_receiveCalls;
    const std::size_t n = std::min(
        {Unread(), static_cast<std::size_t>(std::max(size, 0)), static_cast<std::size_t>(m_pieceSize)});
    if (n > 0)
        std::memcpy(area, m_incoming.data() + m_position, n);
    m_position += n;
    return static_cast<int>(n);
}

int MemoryByteStream::SendBytes(const char* data, int count, int /*timeoutMs*/) {
    m_sent.append(data, static_cast<std::size_t>(count));
    m_largestSend = std::max(m_largestSend, count);
    return count;
}

void MemoryByteStream::Close(bool /*resetLocal*/) {
    m_isOpen = false;
}

}  // namespace signposter::net
