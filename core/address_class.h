#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace signposter {

// What kind of IPv4 address an answer is: whether visitors on the internet could reach it.
enum class AddressClass {
    Public,
    Loopback,         // 127/8
    Private,          // 10/8, 172.16/12, 192.168/16 (RFC 1918)
    CarrierGradeNat,  // 100.64/10 (RFC 6598)
    LinkLocal,        // 169.254/16 (RFC 3927)
    ThisNetwork,      // 0/8 (RFC 1122)
    Documentation,    // 192.0.2/24, 198.51.100/24, 203.0.113/24 (RFC 5737)
    Benchmarking,     // 198.18/15 (RFC 2544)
    Multicast,        // 224/4 (RFC 5771)
    Reserved,         // 240/4 (RFC 1112), the broadcast address included
};

// The dotted quad's value, first field in the high byte; nothing for text that is not exactly one
// (four decimal fields 0..255, no leading zeros, nothing else).
std::optional<std::uint32_t> ParseDottedQuad(std::string_view text);

// Public for anything that is not a dotted quad: classifying is for reporting, and an unreadable answer
// has its own message elsewhere.
AddressClass ClassifyAddress(std::string_view address);
// "public", "private (RFC 1918)", "carrier-grade NAT (RFC 6598)", ...: what `signposter-cli address` prints
// after the address.
std::string DescribeClass(AddressClass addressClass);
// The class's name alone: "public", "private", "carrier-grade NAT", ...
std::string ClassName(AddressClass addressClass);
// The class as the start of a sentence about it: "a private address (RFC 1918)".
std::string ClassPhrase(AddressClass addressClass);

// The first IPv4 address in a text (a web page's body): a dotted quad of four decimal fields 0 to 255
// without leading zeros that is not part of a longer run of digits and dots ("1.2.3.4.5" is skipped and
// the search goes on after it). Nothing when there is none.
std::optional<std::string> FindFirstIPv4(std::string_view text);

}  // namespace signposter
