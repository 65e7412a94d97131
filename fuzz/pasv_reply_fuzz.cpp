// The 227 reply parser fed arbitrary reply lines: an address and port, or the conversion error.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ftp/id_ftp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    try {
        const signposter::ftp::TIdPassiveAddress parsed = signposter::ftp::ParsePassiveReply(reply);
        // Four fields joined by three full stops, whatever the fields hold.
        if (parsed.address.size() < 3 || parsed.address.size() > size + 3)
            __builtin_trap();
    } catch (const signposter::EConvertError&) {
    }
    return 0;
}
