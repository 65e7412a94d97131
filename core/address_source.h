#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/address_discovery.h"
#include "core/address_family.h"
#include "core/clock.h"
#include "core/program_state.h"

namespace signposter {

class UpnpGateway;

// What one question to a source gave: the address text, or nothing and why.
struct AddressAnswer {
    std::optional<std::string> address;
    std::string reason;
};

// Sees the steps of a question (HTTP status and size, the gateway found, its control URL, the SOAP
// result), for `signposter-cli address --verbose`. The text may come from the network: escape it.
using StepLog = std::function<void(const std::string& step)>;

// Where the monitor's address comes from. Each source answers one question when asked; how often it is
// asked and what a failure means is the schedule's business (ConfiguredAddress).
class AddressSource {
public:
    virtual ~AddressSource() = default;
    // The IPv4 address.
    virtual AddressAnswer Query() = 0;
    // The IPv6 address (AddressFamily IPv6 or Both), canonical text.
    virtual AddressAnswer QueryIPv6() { return {std::nullopt, "this source gives no IPv6 address"}; }
    // Host name and interface are asked every tick and an empty answer is a change (a dial-up link that
    // goes away is one); the others are polled and a failure keeps the last answer.
    virtual bool AskedEveryTick() const { return false; }
    void SetStepLog(StepLog log) { m_log = std::move(log); }

protected:
    void Step(const std::string& text) const {
        if (m_log)
            m_log(text);
    }

private:
    StepLog m_log;
};

// The machine's own host name, exactly as the address discovery always worked: empty text on failure.
// Its IPv6 address follows the same rules over the AAAA answers: the last one that is neither loopback nor
// link-local, else what the interfaces carry (the name seldom has an IPv6 entry of its own).
class HostNameSource final : public AddressSource {
public:
    HostNameSource(HostLookup& lookup, IPv6Kind kind) : m_lookup(lookup), m_kind(kind) {}
    AddressAnswer Query() override;
    AddressAnswer QueryIPv6() override;
    bool AskedEveryTick() const override { return true; }

private:
    HostLookup& m_lookup;
    IPv6Kind m_kind;
};

// The first IPv4 address of one named interface, when it is up; its IPv6 address as ChooseIPv6 picks it
// from the kernel's list (core/ipv6_choice.h), each candidate and the reason shown to the step log.
class InterfaceSource final : public AddressSource {
public:
    InterfaceSource(HostLookup& lookup, std::string name, IPv6Kind kind)
        : m_lookup(lookup), m_name(std::move(name)), m_kind(kind) {}
    AddressAnswer Query() override;
    AddressAnswer QueryIPv6() override;
    bool AskedEveryTick() const override { return true; }

private:
    // Why the interface cannot give an address now (missing, down); nothing when it can.
    std::optional<std::string> Unavailable();
    HostLookup& m_lookup;
    std::string m_name;
    IPv6Kind m_kind;
};

// A web page that echoes the caller's address: the first IPv4 address in its body, asked over IPv4 only
// (a dual-stack echo reached over IPv6 would echo the IPv6 address), and the first IPv6 address, asked over
// IPv6 only. https is trusted through the system store and the settings' TlsTrustFile, read at each question.
class WebSource final : public AddressSource {
public:
    WebSource(std::string url, const Clock& clock, const ProgramState& state)
        : m_url(std::move(url)), m_clock(clock), m_state(state) {}
    AddressAnswer Query() override;
    AddressAnswer QueryIPv6() override;

private:
    std::string m_url;
    const Clock& m_clock;
    const ProgramState& m_state;
};

enum class SourceKind { HostName, Interface, Web, UPnP, Unknown };
// Letter case ignored; empty is HostName.
SourceKind ParseSourceKind(const std::string& value);

// How often a polled source is asked when the settings do not say.
inline constexpr int kDefaultWebPollSeconds = 300;  // a free echo service is asked at most every 5 min
inline constexpr int kDefaultUpnpPollSeconds = 60;  // the router is ours and on the LAN: once a minute
// The settings' range: more often than every 30 s would abuse a public echo service; less than daily
// would miss changes for days.
inline constexpr int kMinPollSeconds = 30;
inline constexpr int kMaxPollSeconds = 86400;
// With address events watched: how often the interface is still asked, for an event the kernel never
// sent or the program missed; and how often an event may prompt a question to the web echo or the router,
// which a flapping link must not turn into a flood.
inline constexpr std::int64_t kSafetyCheckMs = 60'000;
inline constexpr std::int64_t kEventQuestionGapMs = 10'000;
// The tick's interval while the source waits for events and nothing is pending: waking every second
// would cost more than everything else the idle monitor does.
inline constexpr std::int64_t kQuietTickMs = 5'000;
// Longest back-off after failures: an outage of the echo service or the router is noticed to have ended
// within half an hour.
inline constexpr std::int64_t kLongestBackOffMs = 30 * 60'000;

// What one monitor tick takes from the configured source.
struct TickAnswer {
    std::string address;   // what CurrentIP becomes
    std::string address6;  // what CurrentIP6 becomes (unchanged while the family leaves IPv6 out)
    std::string problem;   // why the source gave nothing this time (empty when it answered)
    bool kept = false;     // a polled source failed: the address is its last good answer, no change
    bool asked = false;    // the source was asked this tick (not the answer of an earlier poll)
};

// The chosen source as the program uses it: built from the settings in ProgramState (and rebuilt when
// they change), asked every tick or at most every AddressPollSeconds, with the back-off after failures.
class ConfiguredAddress {
public:
    // `upnp` replaces the router client (tests); none means the real one, made when first needed.
    ConfiguredAddress(ProgramState& state, HostLookup& lookup, const Clock& clock,
                      std::shared_ptr<UpnpGateway> upnp = nullptr);
    ~ConfiguredAddress();
    ConfiguredAddress(const ConfiguredAddress&) = delete;
    ConfiguredAddress& operator=(const ConfiguredAddress&) = delete;

    TickAnswer Ask();
    // One question to the configured source now, outside the schedule (`signposter-cli address`): its
    // IPv4 address, or with `ipv6` its IPv6 address.
    AddressAnswer QueryNow(StepLog log = {}, bool ipv6 = false);
    // Asked during blocking router calls; true abandons the wait (the program is ending).
    void SetStopCheck(std::function<bool()> check) { m_stopCheck = std::move(check); }

    // The kernel's address events are watched: the interface source is then asked only after an event and
    // by the safety check, not every tick.
    void SetEventsWatched(bool watched) { m_eventsWatched = watched; }
    // The source waits for address events: its ticks ask nothing between them.
    bool WaitsForEvents() const { return m_eventsWatched && Kind() == SourceKind::Interface; }
    // An address event settled: the next Ask() asks the source (a polled one within kEventQuestionGapMs).
    void NoteAddressEvent();

    SourceKind Kind() const { return ParseSourceKind(m_state.AddressSource); }
    // Milliseconds between polls, and until the next one (tests, the monitor's report).
    std::int64_t PollIntervalMs() const;
    std::int64_t NextPollTick() const { return m_nextTick; }
    int Failures() const { return m_failures; }

private:
    struct Configuration {
        std::string source, interfaceName, url, family, ipv6Kind;
        int pollSeconds = 0;
        bool operator==(const Configuration&) const = default;
    };
    Configuration Current() const;
    AddressSource& Source();
    // The family's questions to a polled source: each family keeps its last good answer on failure.
    TickAnswer AskPolled(AddressSource& source);
    // The interface source, watched by events, with neither an event nor the safety check due.
    bool NothingToAsk() const;

    ProgramState& m_state;
    HostLookup& m_lookup;
    const Clock& m_clock;
    std::shared_ptr<UpnpGateway> m_upnp;
    std::function<bool()> m_stopCheck;
    std::unique_ptr<AddressSource> m_source;
    Configuration m_builtFor;
    std::optional<std::string> m_lastGood;
    std::optional<std::string> m_lastGood6;
    std::int64_t m_nextTick = 0;  // the first tick asks at once
    int m_failures = 0;
    bool m_eventsWatched = false;
    bool m_eventPending = false;
    std::optional<std::int64_t> m_lastEventQuestion;
};

// A source that answers nothing, with the reason: an unknown AddressSource value.
class UnusableSource final : public AddressSource {
public:
    explicit UnusableSource(std::string reason) : m_reason(std::move(reason)) {}
    AddressAnswer Query() override { return {std::nullopt, m_reason}; }
    AddressAnswer QueryIPv6() override { return {std::nullopt, m_reason}; }

private:
    std::string m_reason;
};

}  // namespace signposter
