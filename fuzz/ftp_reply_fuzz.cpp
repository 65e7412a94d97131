// The control connection's reply reader fed arbitrary server bytes, without a network: whatever arrives,
// every read ends in a reply or an exception of the family, and the limits hold.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/id_exceptions.h"
#include "net/id_tcp_connection.h"
#include "net/memory_byte_stream.h"

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace signposter::net;
    // The first byte chooses how the bytes are cut into receives, so that lines straddle pieces.
    const int pieceSize = size > 0 ? 1 + data[0] % 64 * 97 : 1;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!bytes.empty())
        bytes.erase(0, 1);
    MemoryByteStream stream(bytes, pieceSize);
    TIdTCPConnection connection;
    connection.AttachByteStream(&stream);
    connection.SetReplyTimeout(1000);
    for (int replies = 0; replies < 100000; ++replies) {
        try {
            connection.ReadReply({});
        } catch (const signposter::Exception&) {
            break;
        }
        const auto& lines = connection.LastReplyLines();
        Check(!lines.empty() && lines.size() <= static_cast<std::size_t>(TIdTCPConnection::kMaxReplyLines));
        for (const std::string& line : lines) {
            Check(!line.empty() && line.size() <= static_cast<std::size_t>(TIdTCPConnection::kMaxLineLength));
            Check(line.find('\n') == std::string::npos);
        }
        Check(connection.InputBuffer().size() <=
              static_cast<std::size_t>(TIdTCPConnection::kMaxLineLength + TIdTCPConnection::kRecvBufferSize +
                                       2));
    }
    return 0;
}
