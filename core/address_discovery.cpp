#include "core/address_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <climits>

namespace signposter {

namespace {

std::string DottedDecimal(const in_addr& address) {
    char buffer[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &address, buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0;
}

}  // namespace

std::optional<std::string> SystemHostLookup::HostName() {
    // Host names here may be longer than 63 characters: ask for the system's maximum.
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return std::nullopt;
    return std::string(name);
}

std::optional<std::vector<std::string>> SystemHostLookup::ResolveIPv4(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    addrinfo* result = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0)
        return std::nullopt;
    std::vector<std::string> addresses;
    for (const addrinfo* entry = result; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr)
            continue;
        addresses.push_back(DottedDecimal(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr));
    }
    ::freeaddrinfo(result);
    return addresses;
}

std::vector<std::string> SystemHostLookup::InterfaceIPv4() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        addresses.push_back(DottedDecimal(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr));
    }
    ::freeifaddrs(list);
    return addresses;
}

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
