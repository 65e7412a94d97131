#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/ip_address.h"

namespace signposter::platform {

// A lifetime the kernel reports as never ending.
inline constexpr std::uint32_t kForever = 0xffffffff;

// One address of an interface as the kernel reports it, in an address event (RTM_NEWADDR, RTM_DELADDR)
// or in a dump (RTM_GETADDR). getifaddrs() has none of the flags or lifetimes, which the choice of an
// IPv6 address needs.
struct InterfaceAddress {
    int family = 0;      // AF_INET or AF_INET6
    unsigned index = 0;  // the interface's index
    unsigned prefixLength = 0;
    unsigned scope = 0;       // RT_SCOPE_UNIVERSE, RT_SCOPE_LINK, RT_SCOPE_HOST, ...
    std::uint32_t flags = 0;  // IFA_F_*: the IFA_FLAGS attribute when present, which has the bits above 0xff
    IPv6Bytes bytes{};        // the first 4 for IPv4
    std::string label;        // IFA_LABEL: the interface name, IPv4 only
    unsigned protocol = 0;  // IFA_PROTO: who made it (IFAPROT_KERNEL_RA: the kernel, from a router's advert)
    // IFA_CACHEINFO: seconds left (kForever: no end) and when the address was made and last changed, in
    // hundredths of a second since boot. Without the attribute the lifetimes are endless.
    std::uint32_t preferredSeconds = kForever;
    std::uint32_t validSeconds = kForever;
    std::uint32_t createdCentiseconds = 0;
    std::uint32_t updatedCentiseconds = 0;

    // Dotted decimal, or the canonical IPv6 text.
    std::string Text() const;
    // The IFA_F_* flags by their `ip addr` names ("permanent tentative"), for reports.
    std::string FlagNames() const;

    // What the kernel's flags and scope say, so that choosing among addresses needs no kernel header.
    bool IsIPv6() const;
    bool IsTemporary() const;         // a privacy address
    bool IsFromPrefix() const;        // SLAAC: the kernel's from a router's advert, or stable-privacy
    bool IsPermanent() const;         // configured with no lifetime
    bool DadFailed() const;           // duplicate address detection failed
    bool IsTentative() const;         // duplicate address detection still running
    bool IsDeprecated() const;        // its preferred lifetime is over (flag or lifetime)
    bool HasLinkScope() const;
};

// A link's name and IFF_* flags (RTM_NEWLINK, RTM_DELLINK).
struct LinkState {
    unsigned index = 0;
    std::string name;
    unsigned flags = 0;
};

enum class RouteMessageKind { NewAddress, DeletedAddress, NewLink, DeletedLink, Done, Error, Other };

struct RouteMessage {
    RouteMessageKind kind = RouteMessageKind::Other;
    std::uint32_t sequence = 0;
    int error = 0;             // Error: the kernel's errno, positive; 0 is an acknowledgement
    InterfaceAddress address;  // NewAddress, DeletedAddress
    LinkState link;            // NewLink, DeletedLink
};

// The messages of one netlink datagram, for the event watcher and the dump alike. Reading stops at the
// first message whose length does not fit (nothing after it can be framed); `*malformed` then says so.
// Addresses of other families than IPv4 and IPv6, and attributes that do not fit, are left out.
std::vector<RouteMessage> ParseRouteMessages(std::string_view datagram, bool* malformed = nullptr);

// Every address of the machine's interfaces, IPv4 and IPv6, with flags and lifetimes, asked of the kernel
// over rtnetlink. The kernel answers at once; the bound only guards against a kernel that does not.
struct AddressDump {
    std::vector<InterfaceAddress> addresses;
    std::string error;  // why there is no dump; empty when there is one
};
AddressDump DumpAddresses(const Clock& clock, int timeoutMs = 2000);

// The name of the interface with this index; empty when there is none.
std::string InterfaceName(unsigned index);

}  // namespace signposter::platform
