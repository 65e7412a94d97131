#pragma once

#include <optional>
#include <string>
#include <vector>

namespace signposter {

// The machine's own name and addresses, as the system reports them. Behind an interface so that tests can
// give any answer.
class HostLookup {
public:
    virtual ~HostLookup() = default;
    // The local host name, or nothing when it cannot be obtained.
    virtual std::optional<std::string> HostName() = 0;
    // IPv4 addresses of `name` in the resolver's order, dotted decimal; nothing when the lookup fails.
    virtual std::optional<std::vector<std::string>> ResolveIPv4(const std::string& name) = 0;
    // IPv4 addresses of the machine's up, non-loopback interfaces, in interface order.
    virtual std::vector<std::string> InterfaceIPv4() = 0;
};

// The lookup of this machine: gethostname, getaddrinfo (IPv4), getifaddrs.
class SystemHostLookup final : public HostLookup {
public:
    std::optional<std::string> HostName() override;
    std::optional<std::vector<std::string>> ResolveIPv4(const std::string& name) override;
    std::vector<std::string> InterfaceIPv4() override;
};

// The address the monitor publishes: the last IPv4 address of the host name's entry, or empty text on any
// failure. When the resolver gives only loopback addresses (Debian maps the host name to 127.0.1.1), the
// last address of the up, non-loopback interfaces is taken instead.
std::string GetLocalAddress(HostLookup& lookup);

}  // namespace signposter
