#include "core/address_watch.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace signposter {

namespace {

// The earlier of a settling time and a deadline that may be none.
std::int64_t Earlier(std::int64_t settled, std::int64_t deadline) {
    return deadline == platform::kNoDeadline ? settled : std::min(settled, deadline);
}

}  // namespace

AddressWatch::AddressWatch(const Clock& clock, std::unique_ptr<platform::AddressEvents> events,
                           std::string unavailableReason)
    : m_clock(clock), m_events(std::move(events)), m_unavailable(std::move(unavailableReason)) {}

AddressWatch::Wake AddressWatch::WaitUntil(std::int64_t tickDeadline, const Seen& seen, int wakeDescriptor) {
    if (m_settledElsewhere) {
        m_settledElsewhere = false;
        return Wake::Events;
    }
    for (;;) {
        if (wakeDescriptor < 0 && !m_settled && (!m_events || m_events->Descriptor() < 0)) {
            if (m_clock.Passed(tickDeadline))
                return Wake::Tick;
            m_clock.SleepUntil(tickDeadline);
            // A sleep ends early only for a signal, which may be the stop request.
            return m_clock.Passed(tickDeadline) ? Wake::Tick : Wake::Stopped;
        }
        pollfd wake{wakeDescriptor, POLLIN, 0};
        const int ready = PollAlongside(&wake, wakeDescriptor >= 0 ? 1 : 0, tickDeadline, seen);
        if (ready == kSettled) {
            m_settledElsewhere = false;
            return Wake::Events;
        }
        if (ready > 0)
            return Wake::Woken;
        if (ready == 0)
            return Wake::Tick;
        if (errno == ECANCELED)
            return Wake::Stopped;
        // The socket failed: the ticks go on without it.
        m_unavailable = "address events failed";
        m_events.reset();
    }
}

int AddressWatch::PollAlongside(pollfd* fds, std::size_t count, std::int64_t deadline, const Seen& seen) {
    for (;;) {
        if (m_settled && m_clock.Passed(*m_settled)) {
            m_settled.reset();
            m_firstEvent.reset();
            m_added.clear();
            m_removed.clear();
            m_open = false;
            m_settledElsewhere = true;
            return kSettled;
        }
        const std::int64_t until = m_settled ? Earlier(*m_settled, deadline) : deadline;
        if (!m_events || m_events->Descriptor() < 0) {
            const int ready = m_clock.Poll(fds, count, until);
            if (ready == 0 && !m_clock.Passed(deadline))
                continue;  // a burst gathered before the socket failed has settled
            return ready;
        }
        // The events' descriptor goes last, in a copy, so that the caller's set stays as it gave it.
        std::vector<pollfd> watched(fds, fds + count);
        watched.push_back(pollfd{m_events->Descriptor(), POLLIN, 0});
        const int ready = m_clock.Poll(watched.data(), watched.size(), until);
        if (ready < 0)
            return ready;
        for (std::size_t i = 0; i < count; ++i) fds[i].revents = watched[i].revents;
        const bool eventsReady = watched.back().revents != 0;
        if (eventsReady)
            Gather(seen);
        const int callerReady = ready - (eventsReady ? 1 : 0);
        if (callerReady > 0)
            return callerReady;
        if (ready == 0 && m_clock.Passed(deadline))
            return 0;
    }
}

void AddressWatch::Gather(const Seen& seen) {
    bool any = false;
    for (const AddressEvent& event : m_events->Take()) {
        any = true;
        Note(event);
        if (m_observer)
            m_observer(event);
        if (seen)
            seen(event);
    }
    if (!any)
        return;
    const std::int64_t now = m_clock.TickCount();
    if (!m_firstEvent)
        m_firstEvent = now;
    const std::int64_t window = std::min(now + kQuietMs, *m_firstEvent + kSettleMs);
    if (m_open)
        m_settled = window;
    else if (!m_added.empty() && !m_removed.empty())
        m_settled = now;  // a replacement: the source's answer cannot change any more
    else if (m_added.size() + m_removed.size() == 1)
        m_settled = std::min(now + kPairMs, window);
    else
        m_settled = window;  // several addresses came, or several went: more may follow
}

void AddressWatch::Note(const AddressEvent& event) {
    switch (event.kind) {
        case AddressEvent::Kind::AddressAdded:
            // Back again after it went: a flap, which may go on.
            m_open = m_open || m_removed.count(event.address) != 0;
            m_added.insert(event.address);
            break;
        case AddressEvent::Kind::AddressRemoved:
            m_open = m_open || m_added.count(event.address) != 0;
            m_removed.insert(event.address);
            break;
        default:
            // Lost events may hide anything; a link's change brings its addresses' events after it.
            m_open = true;
    }
}

AddressWatch OpenAddressWatch(const Clock& clock) {
    std::string why;
    auto events = platform::NetlinkAddressEvents::Open(&why);
    return AddressWatch(clock, std::move(events), why);
}

}  // namespace signposter
