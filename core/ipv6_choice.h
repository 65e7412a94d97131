#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/address_family.h"
#include "platform/rtnetlink.h"

namespace signposter {

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
