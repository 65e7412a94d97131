#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/address_source.h"
#include "platform/clock.h"

namespace signposter {

// The router found by discovery: where its WAN connection service is asked.
struct UpnpIgd {
    std::string rootDescUrl;
    std::string controlUrl;
    std::string serviceType;
    int validity = 0;  // UPNP_GetValidIGD's answer: 1 connected, 2 "not connected"
};

// The router's UPnP IGD interface. The calls block (discovery alone takes seconds when nobody answers)
// and are made off the program's thread; an implementation must not keep state between calls.
class UpnpGateway {
public:
    virtual ~UpnpGateway() = default;
    // Discovery and the choice of a gateway; nothing, with `error` set, when none is usable. Steps go to
    // `steps` for the verbose report.
    virtual std::optional<UpnpIgd> Discover(std::string& error, std::vector<std::string>& steps) = 0;
    // The external address as the gateway reports it, or nothing and why.
    virtual AddressAnswer ExternalAddress(const UpnpIgd& igd, std::vector<std::string>& steps) = 0;
    // The same with every network wait made on `clock`, whose stop request the source uses to end the
    // work of a question it has abandoned.
    virtual std::optional<UpnpIgd> Discover(std::string& error, std::vector<std::string>& steps,
                                            const platform::Clock&) {
        return Discover(error, steps);
    }
    virtual AddressAnswer ExternalAddress(const UpnpIgd& igd, std::vector<std::string>& steps,
                                          const platform::Clock&) {
        return ExternalAddress(igd, steps);
    }
};

// The bound of every answer read from a gateway (device description, SOAP answer): a description is a few
// KiB and an answer less, and any host on the link can answer the discovery search.
inline constexpr std::size_t kMaxGatewayAnswerBytes = 64 * 1024;

// The real gateway, through miniupnpc.
std::shared_ptr<UpnpGateway> MakeMiniupnpcGateway();

// The router's own view of the WAN address. Discovery runs once and again only after a failure; the
// control URL found is asked at each poll.
class UpnpSource final : public AddressSource {
public:
    UpnpSource(std::shared_ptr<UpnpGateway> gateway, std::function<bool()> stopCheck)
        : m_gateway(std::move(gateway)), m_stopCheck(std::move(stopCheck)) {}
    // Joins the workers left behind: their waits were ended, and each call ends by its own bound.
    ~UpnpSource() override;
    AddressAnswer Query() override;
    // A router's WAN address is IPv4: there is no IPv6 question to ask it.
    AddressAnswer QueryIPv6() override {
        return {std::nullopt,
                "UPnP tells the router's IPv4 address only; for IPv6 choose the interface or the web source"};
    }

private:
    std::shared_ptr<UpnpGateway> m_gateway;
    std::function<bool()> m_stopCheck;
    std::optional<UpnpIgd> m_igd;
    std::vector<std::thread> m_leftBehind;  // workers of abandoned questions, joined before the next
};

}  // namespace signposter
