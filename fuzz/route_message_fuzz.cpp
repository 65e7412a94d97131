// The rtnetlink reader fed arbitrary datagrams, as the event watcher and the address dump feed it: every
// message it gives lies inside the datagram, with an address of a known family and a prefix that fits it.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/rtnetlink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string datagram(reinterpret_cast<const char*>(data), size);
    bool malformed = false;
    const auto messages = signposter::platform::ParseRouteMessages(datagram, &malformed);
    // A message takes at least its 16-byte header.
    if (messages.size() > size / 16)
        __builtin_trap();
    using Kind = signposter::platform::RouteMessageKind;
    for (const auto& message : messages) {
        if (message.kind == Kind::NewAddress || message.kind == Kind::DeletedAddress) {
            const auto& address = message.address;
            const unsigned bits = address.family == AF_INET ? 32 : address.family == AF_INET6 ? 128 : 0;
            if (bits == 0 || address.prefixLength > bits || address.label.size() > size)
                __builtin_trap();
            const std::string text = address.Text();
            if (text.empty() || text.size() > 45)
                __builtin_trap();
            address.FlagNames();
        }
        if ((message.kind == Kind::NewLink || message.kind == Kind::DeletedLink) &&
            message.link.name.size() > size)
            __builtin_trap();
        if (message.kind == Kind::Error && message.error < 0)
            __builtin_trap();
    }
    return 0;
}
