#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/rtnetlink.h"

namespace signposter {

// Which of an interface's global IPv6 addresses the page carries.
enum class IPv6Kind {
    Stable,     // one that lasts: configured by hand, then DHCPv6, then stable SLAAC; never a temporary one
    Temporary,  // the newest temporary (privacy) address that is still preferred
};
// "stable" or "temporary", letter case ignored; nothing for other text.
std::optional<IPv6Kind> ParseIPv6Kind(const std::string& value);

// One IPv6 address of the interface and what the choice made of it, for `address --verbose`.
struct IPv6Candidate {
    platform::InterfaceAddress address;
    bool chosen = false;
    std::string verdict;  // why it was taken, or why not

    // "2001:db8::10/64 (permanent; preferred forever, valid forever): chosen, configured by hand"
    std::string Describe() const;
};

struct IPv6Choice {
    std::optional<std::string> address;  // canonical text
    std::vector<IPv6Candidate> candidates;
    std::string reason;  // why there is none
};

// The choice among the IPv6 addresses of the interface `index` in a dump (platform::DumpAddresses). Never a
// tentative, DAD-failed, deprecated or link-local address; an address visitors can reach comes before one
// they cannot (a unique local one).
IPv6Choice ChooseIPv6(const std::vector<platform::InterfaceAddress>& dump, unsigned index, IPv6Kind kind);

}  // namespace signposter
