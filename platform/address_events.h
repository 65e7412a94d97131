#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace signposter::platform {

// Something the kernel announced that may change the machine's address.
struct AddressEvent {
    enum class Kind {
        AddressAdded,
        AddressRemoved,
        LinkUp,
        LinkDown,
        Lost,  // the kernel dropped events (the socket's queue overflowed): anything may have changed
    };
    Kind kind = Kind::Lost;
    std::string interfaceName;  // may be empty (an interface already gone)
    std::string address;        // AddressAdded, AddressRemoved: "192.0.2.7/24", "2001:db8::1/64"

    // One line for the monitor's report: "address added: 192.0.2.7/24 on eth0".
    std::string Describe() const;
};

// Where address events come from: the kernel's, or a test's.
class AddressEvents {
public:
    virtual ~AddressEvents() = default;
    // Readable while events wait to be taken, for the monitor's own wait; -1 when there is none.
    virtual int Descriptor() const = 0;
    // The events that arrived since the last call, without waiting.
    virtual std::vector<AddressEvent> Take() = 0;
};

// The kernel's address and link events over one rtnetlink socket (non-blocking), subscribed to the IPv4
// and IPv6 address groups and the link group.
class NetlinkAddressEvents final : public AddressEvents {
public:
    // nullptr, with the reason in *why, when the socket cannot be had (a container without netlink, a
    // seccomp filter that refuses it).
    static std::unique_ptr<NetlinkAddressEvents> Open(std::string* why);
    ~NetlinkAddressEvents() override;
    NetlinkAddressEvents(const NetlinkAddressEvents&) = delete;
    NetlinkAddressEvents& operator=(const NetlinkAddressEvents&) = delete;

    int Descriptor() const override { return m_fd; }
    std::vector<AddressEvent> Take() override;
    // The events one datagram from the kernel stands for (the link states seen so far are kept, so that
    // only a link going up or down counts, not every change of its statistics or name).
    std::vector<AddressEvent> EventsOf(const std::string& datagram);

private:
    explicit NetlinkAddressEvents(int fd) : m_fd(fd) {}
    int m_fd;
    std::map<unsigned, bool> m_linkUp;        // by interface index
    std::map<unsigned, std::string> m_names;  // as the link messages named them
};

}  // namespace signposter::platform
