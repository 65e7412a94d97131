#include "core/address_discovery.h"

namespace signposter {

namespace {

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0;
}

}  // namespace

std::string GetLocalAddress(HostLookup& lookup) {
    const auto name = lookup.HostName();
    if (!name)
        return {};
    const auto resolved = lookup.ResolveIPv4(*name);
    if (!resolved || resolved->empty())
        return {};
    std::vector<std::string> addresses = *resolved;
    bool onlyLoopback = true;
    for (const auto& address : addresses) onlyLoopback = onlyLoopback && IsLoopback(address);
    // Debian maps the host name to 127.0.1.1; the interfaces then tell the real address.
    if (onlyLoopback) {
        const auto interfaces = lookup.InterfaceIPv4();
        if (!interfaces.empty())
            addresses = interfaces;
    }
    // The last address listed wins, whatever their number.
    return addresses.back();
}

}  // namespace signposter
