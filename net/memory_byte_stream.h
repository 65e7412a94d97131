#pragma once

#include <string>

#include "net/byte_stream.h"

namespace signposter::net {

// A byte stream over bytes in memory: what a peer would send, handed out in pieces of a chosen size and
// followed by the end of the stream. What the connection writes is kept. Lets the line and reply reader
// run without a network.
class MemoryByteStream : public ByteStream {
public:
    explicit MemoryByteStream(std::string incoming, int pieceSize = 32768)
        : m_incoming(std::move(incoming)), m_pieceSize(pieceSize > 0 ? pieceSize : 1) {}

    bool IsOpen() const override { return m_isOpen; }
    bool WaitReadable(int timeoutMs) override;
    int ReceiveBytes(char* area, int size) override;
    int SendBytes(const char* data, int count, int timeoutMs) override;
    void Close(bool resetLocal) override;
    std::string RemoteAddress() const override { return m_isOpen ? "127.0.0.1" : ""; }

    const std::string& Sent() const { return m_sent; }
    std::size_t Unread() const { return m_incoming.size() - m_position; }
    int ReceiveCalls() const { return m_receiveCalls; }
    int LargestSend() const { return m_largestSend; }

private:
    std::string m_incoming;
    std::size_t m_position = 0;
    int m_pieceSize;
    bool m_isOpen = true;
    std::string m_sent;
    int m_receiveCalls = 0;
    int m_largestSend = 0;
};

}  // namespace signposter::net
