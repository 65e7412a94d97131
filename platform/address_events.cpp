#include "platform/address_events.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/rtnetlink.h"
#include "platform/text.h"

namespace signposter::platform {

std::string AddressEvent::Describe() const {
    const std::string on = interfaceName.empty() ? std::string() : " on " + text::Printable(interfaceName);
    switch (kind) {
        case Kind::AddressAdded:
            return "address added: " + address + on;
        case Kind::AddressRemoved:
            return "address removed: " + address + on;
        case Kind::LinkUp:
            return "link up:" +
                   (interfaceName.empty() ? std::string(" ?") : " " + text::Printable(interfaceName));
        case Kind::LinkDown:
            return "link down:" +
                   (interfaceName.empty() ? std::string(" ?") : " " + text::Printable(interfaceName));
        case Kind::Lost:
            return "address events lost (the kernel's queue overflowed)";
    }
    return {};
}

std::unique_ptr<NetlinkAddressEvents> NetlinkAddressEvents::Open(std::string* why) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        if (why)
            *why = std::string("netlink: ") + std::strerror(errno);
        return nullptr;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_LINK;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        if (why)
            *why = std::string("netlink: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<NetlinkAddressEvents>(new NetlinkAddressEvents(fd));
}

NetlinkAddressEvents::~NetlinkAddressEvents() {
    ::close(m_fd);
}

std::vector<AddressEvent> NetlinkAddressEvents::EventsOf(const std::string& datagram) {
    std::vector<AddressEvent> events;
    bool malformed = false;
    for (const RouteMessage& message : ParseRouteMessages(datagram, &malformed)) {
        AddressEvent event;
        switch (message.kind) {
            case RouteMessageKind::NewAddress:
            case RouteMessageKind::DeletedAddress: {
                event.kind = message.kind == RouteMessageKind::NewAddress
                                 ? AddressEvent::Kind::AddressAdded
                                 : AddressEvent::Kind::AddressRemoved;
                event.address = message.address.Text() + "/" + std::to_string(message.address.prefixLength);
                // An IPv6 address has no label: the name from the kernel's own link messages, else the one
                // the index has now.
                const auto known = m_names.find(message.address.index);
                event.interfaceName = !message.address.label.empty() ? message.address.label
                                      : known != m_names.end()       ? known->second
                                                                     : InterfaceName(message.address.index);
                break;
            }
            case RouteMessageKind::NewLink:
            case RouteMessageKind::DeletedLink: {
                // Up means usable: administratively up and with a carrier.
                const bool up = message.kind == RouteMessageKind::NewLink &&
                                (message.link.flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING);
                if (message.kind == RouteMessageKind::DeletedLink)
                    m_names.erase(message.link.index);
                else if (!message.link.name.empty())
                    m_names[message.link.index] = message.link.name;
                const auto known = m_linkUp.find(message.link.index);
                if (known != m_linkUp.end() && known->second == up)
                    continue;  // another change of the link (statistics, name, queue): the address stays
                if (message.kind == RouteMessageKind::DeletedLink)
                    m_linkUp.erase(message.link.index);
                else
                    m_linkUp[message.link.index] = up;
                event.kind = up ? AddressEvent::Kind::LinkUp : AddressEvent::Kind::LinkDown;
                event.interfaceName = message.link.name;
                break;
            }
            default:
                continue;
        }
        events.push_back(std::move(event));
    }
    if (malformed)
        events.push_back({AddressEvent::Kind::Lost, {}, {}});
    return events;
}

std::vector<AddressEvent> NetlinkAddressEvents::Take() {
    std::vector<AddressEvent> events;
    std::string buffer(32 * 1024, '\0');
    // A storm of events is taken in slices, so that the monitor's wait still sees its deadline between them.
    for (int datagrams = 0; datagrams < 64; ++datagrams) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                events.push_back({AddressEvent::Kind::Lost, {}, {}});
                continue;
            }
            break;  // EAGAIN: nothing more; anything else will show again at the next wait
        }
        if (from.nl_pid != 0)
            continue;  // only the kernel speaks for the addresses
        if (static_cast<std::size_t>(received) > buffer.size()) {
            events.push_back({AddressEvent::Kind::Lost, {}, {}});
            continue;
        }
        for (AddressEvent& event : EventsOf(buffer.substr(0, std::size_t(received))))
            events.push_back(std::move(event));
    }
    return events;
}

}  // namespace signposter::platform
