#include "core/address_change_clock.h"

#include <cerrno>
#include <utility>

#include "core/address_family.h"
#include "core/address_source.h"
#include "platform/ip_address.h"

namespace signposter {

namespace {

// "192.0.2.7/24" as the address alone.
std::string WithoutPrefix(const std::string& address) {
    return address.substr(0, address.find('/'));
}

}  // namespace

AddressChangeClock::Publication::Publication(AddressChangeClock* clock, const std::string& address)
    : m_clock(clock) {
    if (!m_clock)
        return;
    m_clock->m_published = address;
    m_clock->m_abandoned.reset();
    m_clock->m_removed = false;
    m_clock->m_holding = false;
}

AddressChangeClock::Publication::~Publication() {
    if (!m_clock)
        return;
    m_clock->m_published.reset();
    m_clock->m_abandoned.reset();
    m_clock->m_removed = false;
    m_clock->m_holding = false;
}

std::optional<std::string> AddressChangeClock::Publication::Abandoned() const {
    return m_clock ? m_clock->m_abandoned : std::nullopt;
}

void AddressChangeClock::Publication::HoldOn() {
    if (m_clock)
        m_clock->m_holding = true;
}

void AddressChangeClock::Publication::Release() {
    if (m_clock)
        m_clock->m_holding = false;
}

int AddressChangeClock::Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const {
    if (!Armed())
        return m_base.Poll(fds, count, deadline);
    for (;;) {
        if (GivenUp()) {
            errno = ECANCELED;
            return -1;
        }
        const int ready = m_watch->PollAlongside(fds, count, deadline, [this](const AddressEvent& event) {
            if (event.kind == AddressEvent::Kind::AddressRemoved &&
                SameAddress(WithoutPrefix(event.address), *m_published))
                m_removed = true;
        });
        if (ready != AddressWatch::kSettled)
            return ready;
        Judge();
    }
}

void AddressChangeClock::SleepUntil(std::int64_t deadline) const {
    if (!Armed()) {
        m_base.SleepUntil(deadline);
        return;
    }
    pollfd none{};
    Poll(&none, 0, deadline);
}

void AddressChangeClock::Judge() const {
    const bool removed = std::exchange(m_removed, false);
    std::string why;
    if (m_address && m_address->Kind() == SourceKind::Interface) {
        // The interface is a question to the kernel, answered at once: it settles any burst, lost events
        // included.
        // The question of the published address's family: with AddressFamily=Both the page may carry
        // either.
        const bool ipv6 = platform::ParseIPv6(*m_published).has_value();
        const AddressAnswer answer = m_address->QueryNow({}, ipv6);
        if (!answer.address)
            why = "the address went away (" + answer.reason + ")";
        else if (!SameAddress(*answer.address, *m_published))
            why = "the address changed to " + *answer.address;
    } else if (removed) {
        // The other sources cannot be asked in passing (a look-up, a web page, the router): only the
        // published address leaving the machine is certain.
        why = *m_published + " was removed from this machine";
    }
    if (!why.empty())
        m_abandoned = why + " during the upload";
}

}  // namespace signposter
