#pragma once

#include <optional>
#include <string>

#include "core/address_watch.h"
#include "core/clock.h"

namespace signposter {

class ConfiguredAddress;

// The clock the core's waits take, which gives a publication of an address up when the address changes.
// While such a publication runs, its waits (the connection, the server's replies, the pauses between
// attempts, the fetch that verifies the page) also read the kernel's address events: a page uploaded for
// ten minutes to a slow server must not go on naming an address the machine no longer has. When a burst of
// events shows the address gone, that wait and every later one of the publication end as the stop request
// ends them (Poll answers -1 with errno ECANCELED, SleepUntil returns, Cancelled() is true) and the
// publisher gives the publication up. The burst stays owed to the runner's own wait, which then asks the
// source and publishes the new address.
class AddressChangeClock final : public Clock {
public:
    explicit AddressChangeClock(const Clock& base) : m_base(base) {}

    // The events to read and the source to ask again when a burst settles; without events every wait is
    // the base clock's.
    void WatchWith(AddressWatch* watch, ConfiguredAddress* address) {
        m_watch = watch;
        m_address = address;
    }

    // The publication of `address` while this lives (none when `clock` is null).
    class Publication {
    public:
        Publication(AddressChangeClock* clock, const std::string& address);
        ~Publication();
        Publication(const Publication&) = delete;
        Publication& operator=(const Publication&) = delete;
        // Why the page is stale ("the address changed to 192.0.2.8 during the upload"), or nothing.
        std::optional<std::string> Abandoned() const;
        // The store that truncates the page on the server has been sent: cut short now, it would leave the
        // page empty. Until Released, a change of address is judged but ends no wait; the publication
        // learns of it when the store is over (within its own bounds).
        void HoldOn();
        void Release();

    private:
        AddressChangeClock* m_clock;
    };

    std::int64_t TickCount() const override { return m_base.TickCount(); }
    std::time_t Now() const override { return m_base.Now(); }
    int Poll(pollfd* fds, std::size_t count, std::int64_t deadline) const override;
    void SleepUntil(std::int64_t deadline) const override;
    bool Cancelled() const override { return GivenUp() || m_base.Cancelled(); }

private:
    bool Armed() const { return m_published && m_watch && m_watch->Watching(); }
    bool GivenUp() const { return m_abandoned.has_value() && !m_holding; }
    // A burst has settled: whether it took the published address away.
    void Judge() const;

    const Clock& m_base;
    AddressWatch* m_watch = nullptr;
    ConfiguredAddress* m_address = nullptr;
    // The address the publication running now is for, and why it was given up. The waits are const (a
    // clock is handed round as const), what they learn is not.
    std::optional<std::string> m_published;
    bool m_holding = false;
    mutable std::optional<std::string> m_abandoned;
    mutable bool m_removed = false;  // the burst being gathered removed the published address
};

}  // namespace signposter
