#include "core/address_family.h"

#include "core/address_class.h"
#include "core/program_state.h"
#include "platform/ip_address.h"
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

AddressFamily ChosenFamily(const ProgramState& state) {
    return ParseAddressFamily(state.AddressFamily).value_or(AddressFamily::IPv4);
}

std::string PublishedAddress(const ProgramState& state) {
    switch (ChosenFamily(state)) {
        case AddressFamily::IPv4:
            return state.CurrentIP;
        case AddressFamily::IPv6:
            return state.CurrentIP6;
        case AddressFamily::Both:
            break;
    }
    const auto reachable = [](const std::string& address) {
        return !address.empty() && !IsUnreachable(ClassifyAddress(address));
    };
    // Behind carrier-grade NAT the IPv4 address is shared and unreachable, while the IPv6 one is global.
    if (reachable(state.CurrentIP))
        return state.CurrentIP;
    if (reachable(state.CurrentIP6))
        return state.CurrentIP6;
    return state.CurrentIP.empty() ? state.CurrentIP6 : state.CurrentIP;
}

bool SameAddress(const std::string& a, const std::string& b) {
    if (a == b)
        return true;
    const auto first = platform::ParseIPv6(a);
    const auto second = first ? platform::ParseIPv6(b) : std::nullopt;
    return second && *first == *second;
}

std::string CanonicalAddress(const std::string& text) {
    const std::string trimmed = text::Trim(text);
    const auto bytes = platform::ParseIPv6(trimmed);
    return bytes ? platform::FormatIPv6(*bytes) : trimmed;
}

}  // namespace signposter
