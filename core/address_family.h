#pragma once

#include <optional>
#include <string>

namespace signposter {

// Which address the page carries: IPv4 only (as the program always did), IPv6 only, or both (IPv4 when it
// is public, else IPv6). Anything but IPv4 also lets the FTP client reach the server over IPv6.
enum class AddressFamily { IPv4, IPv6, Both };
// Which of an interface's global IPv6 addresses the page carries.
enum class IPv6Kind {
    Stable,     // one that lasts: configured by hand, then DHCPv6, then stable SLAAC; never a temporary one
    Temporary,  // the newest temporary (privacy) address that is still preferred
};

// Case is ignored and empty text is the default; nothing for any other text.
std::optional<AddressFamily> ParseAddressFamily(const std::string& text);
std::optional<IPv6Kind> ParseIPv6Kind(const std::string& text);

}  // namespace signposter
