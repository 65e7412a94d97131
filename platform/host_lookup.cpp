#include "platform/host_lookup.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <sys/eventfd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/ip_address.h"
#include "platform/joined_threads.h"

namespace signposter::platform {

namespace {

std::string DottedDecimal(const in_addr& address) {
    char buffer[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &address, buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

// The canonical text, so that answers compare equal to addresses read elsewhere.
std::string IPv6Text(const in6_addr& address) {
    IPv6Bytes bytes{};
    std::memcpy(bytes.data(), address.s6_addr, bytes.size());
    return FormatIPv6(bytes);
}

LookupFailure Classify(int lookupError) {
    switch (lookupError) {
        case 0:
            return LookupFailure::None;
        case EAI_NONAME:
            return LookupFailure::NameNotFound;
        case EAI_AGAIN:
            return LookupFailure::TryAgain;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return LookupFailure::NoAddress;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return LookupFailure::NoAddress;
#endif
        case EAI_MEMORY:
            return LookupFailure::OutOfMemory;
        case EAI_SYSTEM:
            return LookupFailure::System;
        default:
            return LookupFailure::NonRecoverable;
    }
}

}  // namespace

namespace {

std::string LowerFirst(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

ResolvedAddresses ResolveNow(const std::string& name, LookupFamily family) {
    ResolvedAddresses result;
    addrinfo hints{};
    hints.ai_family = family == LookupFamily::IPv4   ? AF_INET
                      : family == LookupFamily::IPv6 ? AF_INET6
                                                     : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type
    addrinfo* list = nullptr;
    errno = 0;
    const int lookupError = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (lookupError != 0) {
        result.failure = Classify(lookupError);
        result.systemError = errno;
        result.reason = LowerFirst(lookupError == EAI_SYSTEM ? std::strerror(result.systemError)
                                                             : ::gai_strerror(lookupError));
        return result;
    }
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (!entry->ai_addr)
            continue;
        if (entry->ai_family == AF_INET && family != LookupFamily::IPv6) {
            result.addresses.push_back(
                DottedDecimal(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr));
        } else if (entry->ai_family == AF_INET6 && family != LookupFamily::IPv4) {
            result.addresses.push_back(
                IPv6Text(reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr));
        }
    }
    ::freeaddrinfo(list);
    if (result.addresses.empty()) {
        result.failure = LookupFailure::NoAddress;
        result.reason = family == LookupFamily::IPv4   ? "no IPv4 address"
                        : family == LookupFamily::IPv6 ? "no IPv6 address"
                                                       : "no address";
    }
    return result;
}

// What the resolver's thread and the waiting caller share; whichever lets go last frees it, so a caller
// that stopped waiting leaves nothing behind for the thread to write into.
struct PendingLookup {
    ~PendingLookup() {
        if (ready >= 0)
            ::close(ready);
    }
    std::mutex mutex;
    ResolvedAddresses result;
    int ready = -1;  // an eventfd, readable once the result is in
    std::atomic<bool> ended{false};
};

ResolvedAddresses NoAnswer(int reason) {
    ResolvedAddresses result;
    result.failure = LookupFailure::NoAnswer;
    result.systemError = reason;
    result.reason = reason == ECANCELED ? "stopped" : "no answer in time";
    return result;
}

}  // namespace

ResolvedAddresses ResolveHost(const std::string& name, LookupFamily family, const Clock& clock,
                              std::int64_t deadline) {
    // getaddrinfo has no time-out and cannot be cancelled, so it runs where nobody has to wait for it.
    auto pending = std::make_shared<PendingLookup>();
    pending->ready = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (pending->ready < 0)
        return NoAnswer(errno);
    try {
        // getaddrinfo cannot be stopped, but the resolver's own time-outs end it: the program joins what
        // still resolves as it ends rather than leave a thread running past main.
        std::thread resolver([pending, name, family] {
            ResolvedAddresses result = ResolveNow(name, family);
            {
                const std::lock_guard<std::mutex> lock(pending->mutex);
                pending->result = std::move(result);
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t written = ::write(pending->ready, &one, sizeof one);
            }
            pending->ended.store(true);
        });
        JoinedThreads::Program().Add(std::move(resolver),
                                     std::shared_ptr<const std::atomic<bool>>(pending, &pending->ended));
    } catch (const std::system_error& error) {
        return NoAnswer(error.code().value());
    }
    pollfd fd{pending->ready, POLLIN, 0};
    const int ready = clock.Poll(&fd, 1, deadline);
    if (ready <= 0)
        return NoAnswer(ready == 0 ? ETIMEDOUT : errno);
    const std::lock_guard<std::mutex> lock(pending->mutex);
    return std::move(pending->result);
}

std::optional<std::string> SystemHostLookup::HostName() {
    // Host names here may be longer than 63 characters: ask for the system's maximum.
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return std::nullopt;
    return std::string(name);
}

std::optional<std::vector<std::string>> SystemHostLookup::ResolveIPv4(const std::string& name) {
    ResolvedAddresses resolved = ResolveHostIPv4(name, m_clock, m_clock.DeadlineAfter(kResolveBoundMs));
    if (resolved.failure != LookupFailure::None)
        return std::nullopt;
    return std::move(resolved.addresses);
}

std::optional<std::vector<std::string>> SystemHostLookup::ResolveIPv6(const std::string& name) {
    ResolvedAddresses resolved =
        ResolveHost(name, LookupFamily::IPv6, m_clock, m_clock.DeadlineAfter(kResolveBoundMs));
    if (resolved.failure != LookupFailure::None)
        return std::nullopt;
    return std::move(resolved.addresses);
}

unsigned HostLookup::InterfaceIndex(const std::string& name) {
    return ::if_nametoindex(name.c_str());
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

std::vector<InterfaceEntry> ListInterfaces() {
    std::vector<InterfaceEntry> entries;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return entries;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        InterfaceEntry item;
        item.name = entry->ifa_name ? entry->ifa_name : "";
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET)
            item.ipv4 = DottedDecimal(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr);
        entries.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return entries;
}

}  // namespace signposter::platform
