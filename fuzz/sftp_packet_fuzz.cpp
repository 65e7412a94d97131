// The SFTP packet reader fed a server's arbitrary bytes: whole packets within the limit, each read as the
// client reads its replies, or the protocol error; never a read past a packet's end.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sftp/sftp_exceptions.h"
#include "sftp/sftp_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace signposter::sftp;
    PacketAssembler packets;
    // In two pieces, as a channel may deliver them.
    const std::size_t half = size / 2;
    try {
        packets.Append(reinterpret_cast<const char*>(data), half);
        packets.Append(reinterpret_cast<const char*>(data) + half, size - half);
        while (auto body = packets.Next()) {
            if (body->empty() || body->size() > PacketAssembler::kMaxPacket)
                __builtin_trap();
            try {
                if ((*body)[0] == kFxpVersion) {
                    ParseVersion(*body);
                } else if ((*body)[0] == kFxpAttrs) {
                    PacketReader reader(*body);
                    reader.U8();
                    reader.U32();
                    reader.Attributes();
                } else {
                    ParseStatus(*body);
                }
            } catch (const ESftpProtocolError&) {
            }
        }
    } catch (const ESftpProtocolError&) {
    }
    return 0;
}
