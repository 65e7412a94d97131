#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.h"
#include "platform/address_events.h"

namespace signposter {

using AddressEvent = platform::AddressEvent;

// The monitor's wait between ticks, which also reads the kernel's address events. A burst of events (one
// DHCP renewal adds, removes and changes several addresses) settles into one question to the source.
class AddressWatch {
public:
    // Events are gathered until none has come for kQuietMs, and never longer than kSettleMs after the
    // first: the messages of one renewal come within a few milliseconds of each other, and the pause is
    // short against the upload that follows.
    static constexpr int kSettleMs = 50;
    static constexpr int kQuietMs = 15;

    enum class Wake { Tick, Events, Stopped };

    // Without `events` (netlink missing or refused) the wait is a plain sleep until the tick.
    AddressWatch(const Clock& clock, std::unique_ptr<platform::AddressEvents> events,
                 std::string unavailableReason = {});
    bool Watching() const { return m_events != nullptr; }
    // Why there are no events, for the user ("netlink: Operation not permitted").
    const std::string& UnavailableReason() const { return m_unavailable; }

    // Waits until the tick's deadline, or until events have settled (Events), or until the clock's stop
    // request ends the wait (Stopped). Each event read is shown to `seen`.
    Wake WaitUntil(std::int64_t tickDeadline, const std::function<void(const AddressEvent&)>& seen = {});

private:
    const Clock& m_clock;
    std::unique_ptr<platform::AddressEvents> m_events;
    std::string m_unavailable;
    std::optional<std::int64_t> m_firstEvent;  // of the burst being gathered
    std::optional<std::int64_t> m_settled;     // when that burst is taken as complete
};

// The machine's address events, or a watch without them and the reason.
AddressWatch OpenAddressWatch(const Clock& clock);

}  // namespace signposter
