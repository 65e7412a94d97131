#pragma once

#include <string>

namespace signposter::net {

// What a connection reads its replies from and writes its commands to. The socket handle is the real
// one; tests and fuzzers put bytes under the line and reply reader through it without a network.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    virtual bool IsOpen() const = 0;
    // True when bytes, the end of the stream or an error can be read; false at the limit (milliseconds,
    // kNoTimeLimit for none).
    virtual bool WaitReadable(int timeoutMs) = 0;
    // Bytes received (at most size), 0 at the end of the stream, -1 on failure (code in the stack).
    virtual int ReceiveBytes(char* area, int size) = 0;
    // Bytes sent (at least 1), -1 on failure; waits at most timeoutMs for room.
    virtual int SendBytes(const char* data, int count, int timeoutMs) = 0;
    virtual void Close(bool resetLocal) = 0;
    virtual std::string RemoteAddress() const = 0;
};

}  // namespace signposter::net
