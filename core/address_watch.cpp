#include "core/address_watch.h"

#include <algorithm>
#include <cerrno>

namespace signposter {

AddressWatch::AddressWatch(const Clock& clock, std::unique_ptr<platform::AddressEvents> events,
                           std::string unavailableReason)
    : m_clock(clock), m_events(std::move(events)), m_unavailable(std::move(unavailableReason)) {}

AddressWatch::Wake AddressWatch::WaitUntil(std::int64_t tickDeadline,
                                           const std::function<void(const AddressEvent&)>& seen) {
    for (;;) {
        if (m_settled && m_clock.Passed(*m_settled)) {
            m_settled.reset();
            m_firstEvent.reset();
            return Wake::Events;
        }
        if (m_clock.Passed(tickDeadline))
            return Wake::Tick;
        const std::int64_t until = m_settled ? std::min(*m_settled, tickDeadline) : tickDeadline;
        if (!m_events || m_events->Descriptor() < 0) {
            m_clock.SleepUntil(until);
            // A sleep ends early only for a signal, which may be the stop request.
            if (!m_clock.Passed(until))
                return Wake::Stopped;
            continue;
        }
        pollfd wait{m_events->Descriptor(), POLLIN, 0};
        const int ready = m_clock.Poll(&wait, 1, until);
        if (ready < 0) {
            if (errno == ECANCELED)
                return Wake::Stopped;
            // The socket failed: the ticks go on without it.
            m_unavailable = "address events failed";
            m_events.reset();
            continue;
        }
        if (ready == 0)
            continue;
        bool any = false;
        for (const AddressEvent& event : m_events->Take()) {
            any = true;
            if (seen)
                seen(event);
        }
        if (!any)
            continue;
        const std::int64_t now = m_clock.TickCount();
        if (!m_firstEvent)
            m_firstEvent = now;
        m_settled = std::min(now + kQuietMs, *m_firstEvent + kSettleMs);
    }
}

AddressWatch OpenAddressWatch(const Clock& clock) {
    std::string why;
    auto events = platform::NetlinkAddressEvents::Open(&why);
    return AddressWatch(clock, std::move(events), why);
}

}  // namespace signposter
