#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace signposter::platform {

using IPv6Bytes = std::array<std::uint8_t, 16>;

// The one reading of IPv6 text: eight groups of one to four hexadecimal digits (either case), at most one
// "::", optionally a dotted quad in the last 32 bits. No zone ("%eth0"), no brackets, no prefix length:
// those are not an address a page can carry.
std::optional<IPv6Bytes> ParseIPv6(std::string_view text);

// The canonical text (RFC 5952): lower case, no leading zeros, the longest run of two or more zero groups
// (the first of equal runs) as "::", and an IPv4-mapped address with its dotted quad.
std::string FormatIPv6(const IPv6Bytes& bytes);

// Dotted decimal of four bytes in network order.
std::string FormatIPv4(const std::uint8_t* bytes);

}  // namespace signposter::platform
