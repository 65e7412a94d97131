#include "platform/rtnetlink.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace signposter::platform {

namespace {

constexpr std::size_t Align(std::size_t length) {
    return (length + 3) & ~std::size_t{3};
}

// Every header is copied out before it is read: a datagram's bytes carry no alignment promise.
template <typename T>
T Read(std::string_view bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Walks the route attributes in `bytes`, calling `take(type, payload)` for each that fits.
template <typename Take>
void ForEachAttribute(std::string_view bytes, Take&& take) {
    std::size_t offset = 0;
    while (offset + sizeof(rtattr) <= bytes.size()) {
        const auto attribute = Read<rtattr>(bytes, offset);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > bytes.size() - offset)
            return;  // the rest cannot be framed
        take(attribute.rta_type & NLA_TYPE_MASK,
             bytes.substr(offset + sizeof(rtattr), attribute.rta_len - sizeof(rtattr)));
        offset += Align(attribute.rta_len);
    }
}

// Text of a string attribute, which the kernel ends with a NUL.
std::string AttributeText(std::string_view payload) {
    const std::size_t end = payload.find('\0');
    return std::string(payload.substr(0, end));
}

bool ParseAddress(std::string_view body, InterfaceAddress& out) {
    if (body.size() < sizeof(ifaddrmsg))
        return false;
    const auto header = Read<ifaddrmsg>(body, 0);
    const std::size_t size = header.ifa_family == AF_INET ? 4 : header.ifa_family == AF_INET6 ? 16 : 0;
    if (size == 0)
        return false;
    out.family = header.ifa_family;
    out.index = header.ifa_index;
    out.prefixLength = header.ifa_prefixlen;
    out.scope = header.ifa_scope;
    out.flags = header.ifa_flags;
    bool haveLocal = false, haveAddress = false;
    IPv6Bytes address{};
    ForEachAttribute(
        body.substr(Align(sizeof(ifaddrmsg)) <= body.size() ? Align(sizeof(ifaddrmsg)) : body.size()),
        [&](unsigned type, std::string_view payload) {
            switch (type) {
                case IFA_LOCAL:
                    // On a point-to-point link IFA_ADDRESS is the peer's; IFA_LOCAL is ours.
                    if (payload.size() == size) {
                        std::memcpy(out.bytes.data(), payload.data(), size);
                        haveLocal = true;
                    }
                    break;
                case IFA_ADDRESS:
                    if (payload.size() == size) {
                        std::memcpy(address.data(), payload.data(), size);
                        haveAddress = true;
                    }
                    break;
                case IFA_PROTO:
                    if (!payload.empty())
                        out.protocol = static_cast<std::uint8_t>(payload[0]);
                    break;
                case IFA_LABEL:
                    out.label = AttributeText(payload);
                    break;
                case IFA_FLAGS:
                    if (payload.size() >= sizeof(std::uint32_t))
                        out.flags = Read<std::uint32_t>(payload, 0);
                    break;
                case IFA_CACHEINFO:
                    if (payload.size() >= sizeof(ifa_cacheinfo)) {
                        const auto info = Read<ifa_cacheinfo>(payload, 0);
                        out.preferredSeconds = info.ifa_prefered;
                        out.validSeconds = info.ifa_valid;
                        out.createdCentiseconds = info.cstamp;
                        out.updatedCentiseconds = info.tstamp;
                    }
                    break;
                default:
                    break;
            }
        });
    if (!haveLocal) {
        if (!haveAddress)
            return false;
        out.bytes = address;
    }
    return out.prefixLength <= size * 8;
}

bool ParseLink(std::string_view body, LinkState& out) {
    if (body.size() < sizeof(ifinfomsg))
        return false;
    const auto header = Read<ifinfomsg>(body, 0);
    out.index = static_cast<unsigned>(header.ifi_index);
    out.flags = header.ifi_flags;
    ForEachAttribute(body.substr(std::min(Align(sizeof(ifinfomsg)), body.size())),
                     [&](unsigned type, std::string_view payload) {
                         if (type == IFLA_IFNAME)
                             out.name = AttributeText(payload);
                     });
    return true;
}

}  // namespace

std::string InterfaceAddress::Text() const {
    return family == AF_INET ? FormatIPv4(bytes.data()) : FormatIPv6(bytes);
}

std::string InterfaceAddress::FlagNames() const {
    static const struct {
        std::uint32_t bit;
        const char* name;
    } kNames[] = {
        {IFA_F_TEMPORARY, "temporary"},       {IFA_F_NODAD, "nodad"},
        {IFA_F_OPTIMISTIC, "optimistic"},     {IFA_F_DADFAILED, "dadfailed"},
        {IFA_F_HOMEADDRESS, "home"},          {IFA_F_DEPRECATED, "deprecated"},
        {IFA_F_TENTATIVE, "tentative"},       {IFA_F_PERMANENT, "permanent"},
        {IFA_F_MANAGETEMPADDR, "mngtmpaddr"}, {IFA_F_NOPREFIXROUTE, "noprefixroute"},
        {IFA_F_MCAUTOJOIN, "autojoin"},       {IFA_F_STABLE_PRIVACY, "stable-privacy"},
    };
    std::string names;
    for (const auto& entry : kNames) {
        if (flags & entry.bit)
            names += (names.empty() ? "" : " ") + std::string(entry.name);
    }
    return names;
}

bool InterfaceAddress::IsIPv6() const {
    return family == AF_INET6;
}
bool InterfaceAddress::IsTemporary() const {
    return flags & IFA_F_TEMPORARY;
}
bool InterfaceAddress::IsFromPrefix() const {
    // The kernel's own from a router advert, or a stable SLAAC address a network manager made.
    return (flags & (IFA_F_MANAGETEMPADDR | IFA_F_STABLE_PRIVACY)) || protocol == IFAPROT_KERNEL_RA;
}
bool InterfaceAddress::IsPermanent() const {
    return flags & IFA_F_PERMANENT;
}
bool InterfaceAddress::DadFailed() const {
    return flags & IFA_F_DADFAILED;
}
bool InterfaceAddress::IsTentative() const {
    return flags & IFA_F_TENTATIVE;
}
bool InterfaceAddress::IsDeprecated() const {
    return (flags & IFA_F_DEPRECATED) || preferredSeconds == 0;
}
bool InterfaceAddress::HasLinkScope() const {
    return scope == RT_SCOPE_LINK;
}

std::vector<RouteMessage> ParseRouteMessages(std::string_view datagram, bool* malformed) {
    std::vector<RouteMessage> messages;
    if (malformed)
        *malformed = false;
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= datagram.size()) {
        const auto header = Read<nlmsghdr>(datagram, offset);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size() - offset) {
            if (malformed)
                *malformed = true;
            break;
        }
        const std::string_view body =
            datagram.substr(offset + sizeof(nlmsghdr), header.nlmsg_len - sizeof(nlmsghdr));
        offset += Align(header.nlmsg_len);
        RouteMessage message;
        message.sequence = header.nlmsg_seq;
        switch (header.nlmsg_type) {
            case RTM_NEWADDR:
            case RTM_DELADDR:
                if (!ParseAddress(body, message.address))
                    continue;
                message.kind = header.nlmsg_type == RTM_NEWADDR ? RouteMessageKind::NewAddress
                                                                : RouteMessageKind::DeletedAddress;
                break;
            case RTM_NEWLINK:
            case RTM_DELLINK:
                if (!ParseLink(body, message.link))
                    continue;
                message.kind = header.nlmsg_type == RTM_NEWLINK ? RouteMessageKind::NewLink
                                                                : RouteMessageKind::DeletedLink;
                break;
            case NLMSG_DONE:
                message.kind = RouteMessageKind::Done;
                break;
            case NLMSG_ERROR:
                message.kind = RouteMessageKind::Error;
                if (body.size() >= sizeof(int)) {
                    const int code = Read<int>(body, 0);
                    // The kernel sends -errno; anything it could not mean is taken as a failure of its own.
                    message.error = code == 0 ? 0 : code < 0 && code > -4096 ? -code : EPROTO;
                } else {
                    message.error = EPROTO;
                }
                break;
            default:
                break;
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

std::string InterfaceName(unsigned index) {
    char name[IF_NAMESIZE + 1]{};
    return ::if_indextoname(index, name) ? std::string(name) : std::string();
}

namespace {

// Closes the dump's socket on every way out.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string SystemError(const char* what, int code) {
    return std::string(what) + ": " + std::strerror(code);
}

}  // namespace

AddressDump DumpAddresses(const Clock& clock, int timeoutMs) {
    AddressDump dump;
    const Descriptor socket{::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE)};
    if (socket.fd < 0) {
        dump.error = SystemError("netlink", errno);
        return dump;
    }
    struct {
        nlmsghdr header;
        ifaddrmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.ifa_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        dump.error = SystemError("netlink", errno);
        return dump;
    }
    const std::int64_t deadline = clock.DeadlineAfter(timeoutMs);
    // The kernel fills each datagram up to a page or the reader's buffer, whichever is smaller.
    std::vector<char> buffer(32 * 1024);
    for (;;) {
        if (clock.Passed(deadline)) {
            dump.error = "netlink: the dump did not end within " + std::to_string(timeoutMs) + " ms";
            return dump;
        }
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(socket.fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                dump.error = SystemError("netlink", errno);
                return dump;
            }
            pollfd wait{socket.fd, POLLIN, 0};
            const int ready = clock.Poll(&wait, 1, deadline);
            if (ready == 0) {
                dump.error = "netlink: the kernel did not answer within " + std::to_string(timeoutMs) + " ms";
                return dump;
            }
            if (ready < 0) {
                dump.error = SystemError("netlink", errno);
                return dump;
            }
            continue;
        }
        if (static_cast<std::size_t>(received) > buffer.size()) {
            dump.error = "netlink: an answer larger than " + std::to_string(buffer.size()) + " bytes";
            return dump;
        }
        if (from.nl_pid != 0)
            continue;  // only the kernel answers a dump
        for (RouteMessage& message :
             ParseRouteMessages(std::string_view(buffer.data(), std::size_t(received)))) {
            if (message.sequence != request.header.nlmsg_seq)
                continue;
            if (message.kind == RouteMessageKind::Done)
                return dump;
            if (message.kind == RouteMessageKind::Error) {
                dump.error = SystemError("netlink", message.error ? message.error : EPROTO);
                return dump;
            }
            if (message.kind == RouteMessageKind::NewAddress)
                dump.addresses.push_back(std::move(message.address));
        }
    }
}

}  // namespace signposter::platform
