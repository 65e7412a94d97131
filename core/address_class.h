#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace signposter {

// What kind of address an answer is: whether visitors on the internet could reach it.
enum class AddressClass {
    Public,
    NotAnAddress,     // text that is neither a dotted quad nor IPv6 text ("HTML", "010.001.002.003", "1.2.3")
    Loopback,         // 127/8
    Private,          // 10/8, 172.16/12, 192.168/16 (RFC 1918)
    CarrierGradeNat,  // 100.64/10 (RFC 6598)
    LinkLocal,        // 169.254/16 (RFC 3927)
    ThisNetwork,      // 0/8 (RFC 1122)
    Documentation,    // 192.0.2/24, 198.51.100/24, 203.0.113/24 (RFC 5737)
    Benchmarking,     // 198.18/15 (RFC 2544)
    Multicast,        // 224/4 (RFC 5771)
    Reserved,         // 240/4 (RFC 1112), the broadcast address included
    // IPv6: only global unicast (2000::/3) outside the blocks below is public.
    Unspecified6,    // ::/128 (RFC 4291)
    Loopback6,       // ::1/128 (RFC 4291)
    IPv4Mapped,      // ::ffff:0:0/96 (RFC 4291)
    Nat64,           // 64:ff9b::/96 (RFC 6052), 64:ff9b:1::/48 (RFC 8215)
    Discard6,        // 100::/64 (RFC 6666)
    Teredo,          // 2001::/32 (RFC 4380)
    Benchmarking6,   // 2001:2::/48 (RFC 5180)
    Orchid,          // 2001:20::/28 (RFC 7343)
    Documentation6,  // 2001:db8::/32 (RFC 3849), 3fff::/20 (RFC 9637)
    SixToFour,       // 2002::/16 (RFC 3056): public, but named
    UniqueLocal,     // fc00::/7 (RFC 4193)
    SiteLocal,       // fec0::/10 (RFC 3879)
    LinkLocal6,      // fe80::/10 (RFC 4291)
    Multicast6,      // ff00::/8 (RFC 4291)
    Reserved6,       // the rest outside 2000::/3 (RFC 4291)
};

// Whether visitors cannot reach an address of this class: a source chosen to find the public address
// holds it back (unless PublishPrivate; text that is no address, always).
bool IsUnreachable(AddressClass addressClass);

// The dotted quad's value, first field in the high byte; nothing for text that is not exactly one
// (four decimal fields 0..255, no leading zeros, nothing else).
std::optional<std::uint32_t> ParseDottedQuad(std::string_view text);

// The class of a dotted quad or of IPv6 text (the one IPv6 reading, platform/ip_address.h); NotAnAddress
// for anything else.
AddressClass ClassifyAddress(std::string_view address);
// "public", "private (RFC 1918)", "carrier-grade NAT (RFC 6598)", ...: what `signposter-cli address` prints
// after the address.
std::string DescribeClass(AddressClass addressClass);
// The class's name alone: "public", "private", "carrier-grade NAT", "public, 6to4" (reachable but named), ...
std::string ClassName(AddressClass addressClass);
// The class as the start of a sentence about it: "a private address (RFC 1918)".
std::string ClassPhrase(AddressClass addressClass);

// The first IPv4 address in a text (a web page's body): a dotted quad of four decimal fields 0 to 255
// without leading zeros that is not part of a longer run of digits and dots ("1.2.3.4.5" is skipped and
// the search goes on after it). Nothing when there is none.
std::optional<std::string> FindFirstIPv4(std::string_view text);

// The first IPv6 address in a text, in its canonical form (RFC 5952, platform/ip_address.h): a run of
// hexadecimal digits, colons and dots that reads as IPv6 text whole, so brackets ("[2001:db8::1]:443"), a
// prefix length ("/64"), a zone ("%eth0") and a sentence's full stop around it are left out, while a run
// glued to a word after it ("12:30:45Z") or names joined by "::" ("std::string") are skipped. A label
// glued before it ends at its colon ("IPv6:2001:db8::1"). Nothing when there is none.
std::optional<std::string> FindFirstIPv6(std::string_view text);

}  // namespace signposter
