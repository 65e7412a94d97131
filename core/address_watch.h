#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "core/clock.h"
#include "platform/address_events.h"

namespace signposter {

using AddressEvent = platform::AddressEvent;

// The monitor's wait between ticks, which also reads the kernel's address events. A burst of events (one
// DHCP renewal adds, removes and changes several addresses) settles into one question to the source.
class AddressWatch {
public:
    // A burst whose events leave the outcome open (an address that came and went in it, lost events, a
    // link going up or down) is gathered until none has come for kQuietMs, and never longer than
    // kSettleMs after the first: the messages of one renewal come within a few milliseconds of each other.
    static constexpr int kSettleMs = 50;
    static constexpr int kQuietMs = 15;
    // A burst that names one address alone waits this long for its other half (the old address going
    // after the new one came) or for a flap's next message, which the kernel sends within a millisecond;
    // a new address added and the old one gone is settled at once.
    static constexpr int kPairMs = 3;

    // Woken: the caller's own descriptor turned readable (a command was queued).
    enum class Wake { Tick, Events, Stopped, Woken };
    // PollAlongside's answer when a burst has settled before the caller's descriptors or deadline.
    static constexpr int kSettled = -2;
    using Seen = std::function<void(const AddressEvent&)>;

    // Without `events` (netlink missing or refused) the wait is a plain sleep until the tick.
    AddressWatch(const Clock& clock, std::unique_ptr<platform::AddressEvents> events,
                 std::string unavailableReason = {});
    bool Watching() const { return m_events != nullptr; }
    // Why there are no events, for the user ("netlink: Operation not permitted").
    const std::string& UnavailableReason() const { return m_unavailable; }
    // Every event read from now on, in whichever wait, is also shown to `seen` (the monitor's report).
    void ShowEventsTo(Seen seen) { m_observer = std::move(seen); }

    // Waits until the tick's deadline, or until events have settled (Events), or until the clock's stop
    // request ends the wait (Stopped), or until `wakeDescriptor` (when given) is readable (Woken; the caller
    // drains it). Each event read is shown to `seen`. A burst that settled during a wait of someone else's
    // (PollAlongside) is answered here at once, so that the monitor still asks the source about it.
    Wake WaitUntil(std::int64_t tickDeadline, const Seen& seen = {}, int wakeDescriptor = -1);
    // Someone else's wait on `fds` (a publication's socket) that gathers the events meanwhile: what
    // Clock::Poll answers for `fds` (their revents set), or kSettled as soon as a burst has settled.
    int PollAlongside(pollfd* fds, std::size_t count, std::int64_t deadline, const Seen& seen = {});

private:
    // Takes the events waiting and starts or extends the burst they belong to.
    void Gather(const Seen& seen);
    // Adds one event to what the burst says about its outcome.
    void Note(const AddressEvent& event);

    const Clock& m_clock;
    std::unique_ptr<platform::AddressEvents> m_events;
    std::string m_unavailable;
    Seen m_observer;
    std::optional<std::int64_t> m_firstEvent;  // of the burst being gathered
    std::optional<std::int64_t> m_settled;     // when that burst is taken as complete
    std::set<std::string> m_added, m_removed;  // the addresses the burst added and removed
    bool m_open = false;                       // the burst's events leave its outcome open
    bool m_settledElsewhere = false;           // in PollAlongside, not yet answered by WaitUntil
};

// The machine's address events, or a watch without them and the reason.
AddressWatch OpenAddressWatch(const Clock& clock);

}  // namespace signposter
