#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/rtnetlink.h"

namespace signposter::platform {

// Why the resolver gave no answer.
enum class LookupFailure {
    None,
    NameNotFound,    // the name does not exist
    TryAgain,        // a temporary failure of the name service
    NonRecoverable,  // the name service failed for good
    NoAddress,       // the name exists but has no address of the family asked for
    OutOfMemory,
    System,  // a system call failed: see systemError
    // The wait for the resolver ended first: systemError holds the clock's reason (ETIMEDOUT at the
    // lookup's own deadline, ETIME at a bound of the clock, ECANCELED for the program's stop request).
    NoAnswer,
};

// What a name lookup gave: the addresses in the resolver's order, or the resolver's failure.
struct ResolvedAddresses {
    std::vector<std::string> addresses;  // dotted decimal, or IPv6 text as inet_ntop writes it
    LookupFailure failure = LookupFailure::None;
    int systemError = 0;  // errno, for LookupFailure::System and NoAnswer
    std::string reason;   // what failed, in lower case words ("temporary failure in name resolution")
};

// Which addresses a lookup asks for: one family, or both in the resolver's own order.
enum class LookupFamily { IPv4, IPv6, Any };

// The one way to the resolver (getaddrinfo), for address discovery and the socket layer. The resolver
// runs on a thread of its own and is waited for on `clock` until `deadline`, so that the stop request and
// every bound of the caller end the wait at once; an answer that comes later is dropped.
ResolvedAddresses ResolveHost(const std::string& name, LookupFamily family, const Clock& clock,
                              std::int64_t deadline = kNoDeadline);
inline ResolvedAddresses ResolveHostIPv4(const std::string& name, const Clock& clock,
                                         std::int64_t deadline = kNoDeadline) {
    return ResolveHost(name, LookupFamily::IPv4, clock, deadline);
}

// One entry of the machine's interface list (getifaddrs), in the list's order: an interface appears once
// per address it carries, and once more without an IPv4 address for its link-layer entry.
struct InterfaceEntry {
    std::string name;
    bool up = false;   // IFF_UP
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
    // IPv6 addresses of `name` in the resolver's order, canonical text; nothing when the lookup fails.
    virtual std::optional<std::vector<std::string>> ResolveIPv6(const std::string& /*name*/) {
        return std::nullopt;
    }
    // Every address of every interface with the kernel's flags and lifetimes (the IPv6 choice needs them).
    virtual AddressDump Addresses() { return DumpAddresses(MachineClock()); }
    // The interface's index, as the dump names interfaces; 0 when there is no such interface.
    virtual unsigned InterfaceIndex(const std::string& name);
};

// The lookup of this machine: gethostname, getaddrinfo (IPv4), getifaddrs. Name look-ups wait on `clock`
// for at most kResolveBoundMs.
class SystemHostLookup final : public HostLookup {
public:
    // The resolver's own default (5 s for each of two tries) is longer than a monitor tick should ever
    // take; a host name that does not resolve within this is no answer for this tick.
    static constexpr int kResolveBoundMs = 5000;
    explicit SystemHostLookup(const Clock& clock = MachineClock()) : m_clock(clock) {}
    std::optional<std::string> HostName() override;
    std::optional<std::vector<std::string>> ResolveIPv4(const std::string& name) override;
    std::vector<std::string> InterfaceIPv4() override;
    std::optional<std::vector<std::string>> ResolveIPv6(const std::string& name) override;
    AddressDump Addresses() override { return DumpAddresses(m_clock); }

private:
    const Clock& m_clock;
};

}  // namespace signposter::platform
