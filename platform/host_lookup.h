#pragma once

#include <optional>
#include <string>
#include <vector>

namespace signposter::platform {

// Why the resolver gave no answer.
enum class LookupFailure {
    None,
    NameNotFound,    // the name does not exist
    TryAgain,        // a temporary failure of the name service
    NonRecoverable,  // the name service failed for good
    NoAddress,       // the name exists but has no IPv4 address
    OutOfMemory,
    System,  // a system call failed: see systemError
};

// What a name lookup gave: the IPv4 addresses in the resolver's order, or the resolver's failure.
struct ResolvedAddresses {
    std::vector<std::string> addresses;  // dotted decimal
    LookupFailure failure = LookupFailure::None;
    int systemError = 0;  // errno, for LookupFailure::System
};

// The one way to the resolver (getaddrinfo, IPv4 only), for address discovery and the socket layer.
ResolvedAddresses ResolveHostIPv4(const std::string& name);

// One entry of the machine's interface list (getifaddrs), in the list's order: an interface appears once
// per address it carries, and once more without an IPv4 address for its link-layer entry.
struct InterfaceEntry {
    std::string name;
    bool up = false;    // IFF_UP
    std::string ipv4;  // dotted decimal; empty for entries of other families
};
// The list as the system gives it; empty when it cannot be had.
std::vector<InterfaceEntry> ListInterfaces();

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
    // Every interface entry, for the source that reads one named interface.
    virtual std::vector<InterfaceEntry> Interfaces() { return ListInterfaces(); }
};

// The lookup of this machine: gethostname, getaddrinfo (IPv4), getifaddrs.
class SystemHostLookup final : public HostLookup {
public:
    std::optional<std::string> HostName() override;
    std::optional<std::vector<std::string>> ResolveIPv4(const std::string& name) override;
    std::vector<std::string> InterfaceIPv4() override;
};

}  // namespace signposter::platform
