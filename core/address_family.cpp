#include "core/address_family.h"

#include "platform/text.h"

namespace signposter {

std::optional<AddressFamily> ParseAddressFamily(const std::string& text) {
    const std::string value = text::UpperAscii(text::Trim(text));
    if (value.empty() || value == "IPV4")
        return AddressFamily::IPv4;
    if (value == "IPV6")
        return AddressFamily::IPv6;
    if (value == "BOTH")
        return AddressFamily::Both;
    return std::nullopt;
}

std::optional<IPv6Kind> ParseIPv6Kind(const std::string& text) {
    const std::string value = text::UpperAscii(text::Trim(text));
    if (value.empty() || value == "STABLE")
        return IPv6Kind::Stable;
    if (value == "TEMPORARY")
        return IPv6Kind::Temporary;
    return std::nullopt;
}

}  // namespace signposter
