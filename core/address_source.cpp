#include "core/address_source.h"

#include <algorithm>

#include "core/address_class.h"
#include "core/upnp_gateway.h"
#include "http/http_get.h"
#include "platform/exceptions.h"
#include "platform/text.h"

namespace signposter {

AddressAnswer HostNameSource::Query() {
    const std::string address = GetLocalAddress(m_lookup);
    if (address.empty())
        return {std::nullopt, "the host name did not resolve"};
    return {address, {}};
}

AddressAnswer InterfaceSource::Query() {
    bool seen = false, up = false;
    for (const auto& entry : m_lookup.Interfaces()) {
        if (entry.name != m_name)
            continue;
        seen = true;
        up = up || entry.up;
        if (entry.up && !entry.ipv4.empty()) {
            Step("interface " + text::Printable(m_name) + ": " + entry.ipv4);
            return {entry.ipv4, {}};
        }
    }
    const std::string name = text::Printable(m_name);
    if (!seen)
        return {std::nullopt, "interface " + name + " not found"};
    if (!up)
        return {std::nullopt, "interface " + name + " is down"};
    return {std::nullopt, "interface " + name + " has no IPv4 address"};
}

AddressAnswer WebSource::Query() {
    try {
        // No proxy, whatever the environment says (the options' default): a proxy would echo its own address.
        http::HttpGetOptions options;
        options.tlsTrustFile = text::Trim(m_state.TlsTrustFile);
        const http::HttpResult result =
            http::HttpGet(m_url, m_clock, options, [this](const std::string& step) { Step(step); });
        if (const auto address = FindFirstIPv4(result.body))
            return {*address, {}};
        return {std::nullopt, "no IPv4 address in the answer of " + text::Printable(result.url)};
    } catch (const Exception& error) {
        return {std::nullopt, text::OneLine(error.Message())};
    }
}

SourceKind ParseSourceKind(const std::string& value) {
    const std::string upper = text::UpperAscii(text::Trim(value));
    if (upper.empty() || upper == "HOSTNAME")
        return SourceKind::HostName;
    if (upper == "INTERFACE")
        return SourceKind::Interface;
    if (upper == "WEB")
        return SourceKind::Web;
    if (upper == "UPNP")
        return SourceKind::UPnP;
    return SourceKind::Unknown;
}

ConfiguredAddress::ConfiguredAddress(ProgramState& state, HostLookup& lookup, const Clock& clock,
                                     std::shared_ptr<UpnpGateway> upnp)
    : m_state(state), m_lookup(lookup), m_clock(clock), m_upnp(std::move(upnp)) {}

ConfiguredAddress::~ConfiguredAddress() = default;

ConfiguredAddress::Configuration ConfiguredAddress::Current() const {
    return {m_state.AddressSource, m_state.AddressInterface, m_state.AddressURL, m_state.AddressPollSeconds};
}

std::int64_t ConfiguredAddress::PollIntervalMs() const {
    int seconds = m_state.AddressPollSeconds;
    if (seconds <= 0)
        seconds = Kind() == SourceKind::UPnP ? kDefaultUpnpPollSeconds : kDefaultWebPollSeconds;
    return std::int64_t{std::clamp(seconds, kMinPollSeconds, kMaxPollSeconds)} * 1000;
}

AddressSource& ConfiguredAddress::Source() {
    const Configuration now = Current();
    if (m_source && now == m_builtFor)
        return *m_source;
    // Other settings mean another source: nothing learnt from the old one applies.
    m_builtFor = now;
    m_lastGood.reset();
    m_nextTick = 0;
    m_failures = 0;
    switch (ParseSourceKind(now.source)) {
        case SourceKind::HostName:
            m_source = std::make_unique<HostNameSource>(m_lookup);
            break;
        case SourceKind::Interface:
            m_source =
                text::Trim(now.interfaceName).empty()
                    ? std::unique_ptr<AddressSource>(std::make_unique<UnusableSource>("No address interface"))
                    : std::make_unique<InterfaceSource>(m_lookup, text::Trim(now.interfaceName));
            break;
        case SourceKind::Web:
            m_source =
                text::Trim(now.url).empty()
                    ? std::unique_ptr<AddressSource>(std::make_unique<UnusableSource>("No address URL"))
                    : std::make_unique<WebSource>(text::Trim(now.url), m_clock, m_state);
            break;
        case SourceKind::UPnP:
            if (!m_upnp)
                m_upnp = MakeMiniupnpcGateway();
            m_source = std::make_unique<UpnpSource>(m_upnp, [this] { return m_stopCheck && m_stopCheck(); });
            break;
        case SourceKind::Unknown:
            m_source = std::make_unique<UnusableSource>("Unknown AddressSource value");
            break;
    }
    return *m_source;
}

AddressAnswer ConfiguredAddress::QueryNow(StepLog log) {
    AddressSource& source = Source();
    source.SetStepLog(std::move(log));
    AddressAnswer answer = source.Query();
    source.SetStepLog({});
    return answer;
}

void ConfiguredAddress::NoteAddressEvent() {
    m_eventPending = true;
    const SourceKind kind = Kind();
    if (kind != SourceKind::Web && kind != SourceKind::UPnP)
        return;
    const std::int64_t now = m_clock.TickCount();
    std::int64_t when = now;
    if (m_lastEventQuestion)
        when = std::max(now, *m_lastEventQuestion + kEventQuestionGapMs);
    if (when < m_nextTick) {
        m_nextTick = when;
        m_lastEventQuestion = when;
    }
}

bool ConfiguredAddress::NothingToAsk() const {
    return m_eventsWatched && !m_eventPending && Kind() == SourceKind::Interface &&
           m_clock.TickCount() < m_nextTick;
}

TickAnswer ConfiguredAddress::Ask() {
    AddressSource& source = Source();
    TickAnswer tick;
    if (source.AskedEveryTick()) {
        if (NothingToAsk()) {
            tick.address = m_state.CurrentIP;
            tick.problem = m_state.AddressProblem;
            return tick;
        }
        m_eventPending = false;
        m_nextTick = m_clock.TickCount() + kSafetyCheckMs;
        const AddressAnswer answer = source.Query();
        tick.asked = true;
        tick.address = answer.address.value_or(std::string());
        tick.problem = answer.address ? std::string() : answer.reason;
        return tick;
    }
    // Until the first answer the address stored at the last save stands, so a start is no change.
    tick.address = m_lastGood.value_or(m_state.CurrentIP);
    if (m_clock.TickCount() < m_nextTick)
        return tick;
    const AddressAnswer answer = source.Query();
    tick.asked = true;
    const std::int64_t interval = PollIntervalMs();
    if (answer.address) {
        m_lastGood = answer.address;
        m_failures = 0;
        tick.address = *answer.address;
        m_nextTick = m_clock.TickCount() + interval;
        return tick;
    }
    // 2, 4, 8, ... intervals after each failure, up to the longest back-off; never sooner than the
    // regular poll, for intervals set above it.
    ++m_failures;
    const std::int64_t longest = std::max(kLongestBackOffMs, interval);
    std::int64_t wait = interval;
    for (int i = 0; i < m_failures && wait < longest; ++i) wait *= 2;
    m_nextTick = m_clock.TickCount() + std::min(wait, longest);
    tick.kept = true;
    tick.problem = answer.reason;
    return tick;
}

}  // namespace signposter
