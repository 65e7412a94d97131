#include "core/address_source.h"

#include <algorithm>

#include "core/address_class.h"
#include "core/ipv6_choice.h"
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

namespace {

// The address ChooseIPv6 takes on each interface of the dump, where visitors can reach it, in the dump's
// order of interfaces.
std::vector<std::string> ReachableIPv6OfInterfaces(const std::vector<platform::InterfaceAddress>& dump,
                                                   IPv6Kind kind) {
    std::vector<unsigned> indexes;
    for (const auto& address : dump)
        if (address.IsIPv6() &&
            std::find(indexes.begin(), indexes.end(), address.index) == indexes.end())
            indexes.push_back(address.index);
    std::vector<std::string> chosen;
    for (const unsigned index : indexes) {
        const IPv6Choice choice = ChooseIPv6(dump, index, kind);
        if (choice.address && !IsUnreachable(ClassifyAddress(*choice.address)))
            chosen.push_back(*choice.address);
    }
    return chosen;
}

}  // namespace

AddressAnswer HostNameSource::QueryIPv6() {
    const auto name = m_lookup.HostName();
    if (!name)
        return {std::nullopt, "the host name is unknown"};
    std::vector<std::string> addresses;
    if (const auto resolved = m_lookup.ResolveIPv6(*name)) {
        for (const std::string& address : *resolved) {
            const AddressClass addressClass = ClassifyAddress(address);
            if (addressClass != AddressClass::Loopback6 && addressClass != AddressClass::LinkLocal6)
                addresses.push_back(address);
        }
    }
    // As Debian maps the name to 127.0.1.1 for IPv4, it maps it to no IPv6 address at all: the interfaces
    // then tell it.
    if (addresses.empty()) {
        const platform::AddressDump dump = m_lookup.Addresses();
        if (dump.error.empty())
            addresses = ReachableIPv6OfInterfaces(dump.addresses, m_kind);
    }
    if (addresses.empty())
        return {std::nullopt, "the host name has no IPv6 address"};
    // The last address listed wins, as for IPv4.
    return {addresses.back(), {}};
}

std::optional<std::string> InterfaceSource::Unavailable() {
    bool seen = false, up = false;
    for (const auto& entry : m_lookup.Interfaces()) {
        if (entry.name != m_name)
            continue;
        seen = true;
        up = up || entry.up;
    }
    if (!seen)
        return "interface " + text::Printable(m_name) + " not found";
    if (!up)
        return "interface " + text::Printable(m_name) + " is down";
    return std::nullopt;
}

AddressAnswer InterfaceSource::QueryIPv6() {
    if (auto why = Unavailable())
        return {std::nullopt, std::move(*why)};
    const std::string name = text::Printable(m_name);
    const unsigned index = m_lookup.InterfaceIndex(m_name);
    if (index == 0)
        return {std::nullopt, "interface " + name + " not found"};
    const platform::AddressDump dump = m_lookup.Addresses();
    if (!dump.error.empty())
        return {std::nullopt, "the kernel's address list: " + dump.error};
    const IPv6Choice choice = ChooseIPv6(dump.addresses, index, m_kind);
    for (const IPv6Candidate& candidate : choice.candidates)
        Step("interface " + name + ": " + candidate.Describe());
    if (!choice.address)
        return {std::nullopt, "interface " + name + ": " + choice.reason};
    return {*choice.address, {}};
}

AddressAnswer InterfaceSource::Query() {
    for (const auto& entry : m_lookup.Interfaces()) {
        if (entry.name == m_name && entry.up && !entry.ipv4.empty()) {
            Step("interface " + text::Printable(m_name) + ": " + entry.ipv4);
            return {entry.ipv4, {}};
        }
    }
    if (auto why = Unavailable())
        return {std::nullopt, std::move(*why)};
    return {std::nullopt, "interface " + text::Printable(m_name) + " has no IPv4 address"};
}

namespace {

// One question to the echo over one family; `find` reads that family's address from the body.
AddressAnswer AskEcho(const std::string& url, const Clock& clock, const ProgramState& state,
                      http::IpFamily family, std::optional<std::string> (*find)(std::string_view),
                      const char* familyName, const StepLog& step) {
    try {
        // No proxy, whatever the environment says (the options' default): a proxy would echo its own address.
        http::HttpGetOptions options;
        options.tlsTrustFile = text::Trim(state.TlsTrustFile);
        options.family = family;
        const http::HttpResult result = http::HttpGet(url, clock, options, step);
        if (const auto address = find(result.body))
            return {*address, {}};
        return {std::nullopt,
                std::string("no ") + familyName + " address in the answer of " + text::Printable(result.url)};
    } catch (const Exception& error) {
        return {std::nullopt, text::OneLine(error.Message())};
    }
}

}  // namespace

AddressAnswer WebSource::Query() {
    return AskEcho(m_url, m_clock, m_state, http::IpFamily::IPv4Only, &FindFirstIPv4, "IPv4",
                   [this](const std::string& step) { Step(step); });
}

AddressAnswer WebSource::QueryIPv6() {
    return AskEcho(m_url, m_clock, m_state, http::IpFamily::IPv6Only, &FindFirstIPv6, "IPv6",
                   [this](const std::string& step) { Step(step); });
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
    return {m_state.AddressSource, m_state.AddressInterface, m_state.AddressURL,
            m_state.AddressFamily, m_state.IPv6Kind,         m_state.AddressPollSeconds};
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
    m_lastGood6.reset();
    m_nextTick = 0;
    m_failures = 0;
    const IPv6Kind kind = ParseIPv6Kind(now.ipv6Kind).value_or(IPv6Kind::Stable);
    switch (ParseSourceKind(now.source)) {
        case SourceKind::HostName:
            m_source = std::make_unique<HostNameSource>(m_lookup, kind);
            break;
        case SourceKind::Interface:
            m_source =
                text::Trim(now.interfaceName).empty()
                    ? std::unique_ptr<AddressSource>(std::make_unique<UnusableSource>("No address interface"))
                    : std::make_unique<InterfaceSource>(m_lookup, text::Trim(now.interfaceName), kind);
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

AddressAnswer ConfiguredAddress::QueryNow(StepLog log, bool ipv6) {
    AddressSource& source = Source();
    source.SetStepLog(std::move(log));
    AddressAnswer answer = ipv6 ? source.QueryIPv6() : source.Query();
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

namespace {

// The IPv4 problem as it always read; the IPv6 one named as such.
void AddProblem(std::string& problems, const std::string& problem, bool ipv6) {
    if (!problems.empty())
        problems += "; ";
    problems += ipv6 ? "IPv6: " + problem : problem;
}

}  // namespace

TickAnswer ConfiguredAddress::Ask() {
    AddressSource& source = Source();
    const AddressFamily family = ChosenFamily(m_state);
    TickAnswer tick;
    if (!source.AskedEveryTick())
        return AskPolled(source);
    tick.address = m_state.CurrentIP;
    tick.address6 = m_state.CurrentIP6;
    if (NothingToAsk()) {
        tick.problem = m_state.AddressProblem;
        return tick;
    }
    m_eventPending = false;
    m_nextTick = m_clock.TickCount() + kSafetyCheckMs;
    tick.asked = true;
    // An empty answer is a change here (a dial-up link that went away), with the reason.
    const auto ask = [&](bool ipv6) {
        const AddressAnswer answer = ipv6 ? source.QueryIPv6() : source.Query();
        (ipv6 ? tick.address6 : tick.address) = answer.address.value_or(std::string());
        if (!answer.address)
            AddProblem(tick.problem, answer.reason, ipv6);
    };
    if (family != AddressFamily::IPv6)
        ask(false);
    if (family != AddressFamily::IPv4)
        ask(true);
    return tick;
}

TickAnswer ConfiguredAddress::AskPolled(AddressSource& source) {
    const AddressFamily family = ChosenFamily(m_state);
    TickAnswer tick;
    // Until the first answer the address stored at the last save stands, so a start is no change.
    tick.address = m_lastGood.value_or(m_state.CurrentIP);
    tick.address6 = m_lastGood6.value_or(m_state.CurrentIP6);
    if (m_clock.TickCount() < m_nextTick)
        return tick;
    tick.asked = true;
    bool answered = false;
    const auto ask = [&](bool ipv6) {
        const AddressAnswer answer = ipv6 ? source.QueryIPv6() : source.Query();
        if (!answer.address)
            return AddProblem(tick.problem, answer.reason, ipv6);
        (ipv6 ? m_lastGood6 : m_lastGood) = answer.address;
        (ipv6 ? tick.address6 : tick.address) = *answer.address;
        answered = true;
    };
    if (family != AddressFamily::IPv6)
        ask(false);
    if (family != AddressFamily::IPv4 && !(m_stopCheck && m_stopCheck()))
        ask(true);
    // A family that failed keeps its last answer and is reported; the schedule backs off only when no
    // family answered (an echo unreachable over IPv6 must not slow the IPv4 questions down).
    tick.kept = !tick.problem.empty();
    const std::int64_t interval = PollIntervalMs();
    if (answered) {
        m_failures = 0;
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
    return tick;
}

}  // namespace signposter
