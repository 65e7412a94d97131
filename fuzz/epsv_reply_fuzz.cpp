// The 229 reply parser fed arbitrary reply lines: a port from 1 to 65535, or the reply error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ftp/id_ftp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    try {
        const int port = signposter::ftp::ParseExtendedPassiveReply(229, reply);
        if (port < 1 || port > 65535)
            __builtin_trap();
    } catch (const signposter::ftp::EIdProtocolReplyError&) {
    }
    return 0;
}
