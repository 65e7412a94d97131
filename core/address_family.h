#pragma once

#include <optional>
#include <string>

namespace signposter {

struct ProgramState;

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
// The family the settings choose; a value validation refuses counts as IPv4.
AddressFamily ChosenFamily(const ProgramState& state);

// The address the page carries: CurrentIP for IPv4, CurrentIP6 for IPv6; for Both, whichever of the two
// visitors can reach, IPv4 first, else IPv4 when known (held back or published by the class rules) and
// IPv6 when not.
std::string PublishedAddress(const ProgramState& state);

// Whether two address texts name the same address: IPv6 compared by value ("2001:DB8::0:1" is
// "2001:db8::1"), anything else as it stands.
bool SameAddress(const std::string& a, const std::string& b);
// IPv6 text in its canonical form (RFC 5952); anything else trimmed, as it stands.
std::string CanonicalAddress(const std::string& text);

}  // namespace signposter
