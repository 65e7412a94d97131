#include "core/publishing_core.h"

#include "ftp/id_ftp.h"
#include "sftp/sftp_client.h"

namespace signposter {

PublishingCore::PublishingCore(LiveSettings& fields, UserInterface& ui, std::string settingsPath,
                               CoreServices services)
    : m_settingsPath(std::move(settingsPath)),
      m_lookup(services.lookup),
      m_baseClock(services.clock ? *services.clock : platform::MachineClock()),
      m_clock(m_baseClock),
      m_client(std::make_unique<ftp::TIdFTP>()),
      m_sftp(std::make_unique<sftp::SftpClient>()) {
    if (!m_lookup) {
        m_ownLookup = std::make_unique<SystemHostLookup>(m_clock);
        m_lookup = m_ownLookup.get();
    }
    ApplyClientDefaults(*m_client);
    m_client->SetClock(m_clock);
    m_sftp->SetClock(m_clock);
    m_address = std::make_unique<ConfiguredAddress>(m_state, *m_lookup, m_clock, std::move(services.upnp));
    m_monitor = std::make_unique<Monitor>(fields, ui, m_state, *m_address, m_clock, *m_client, m_settingsPath);
    m_fetcher =
        services.fetcher ? std::move(services.fetcher) : std::make_unique<HttpPageFetcher>(m_clock, m_state);
    m_monitor->GetPublisher().SetPageFetcher(m_fetcher.get());
    m_monitor->GetPublisher().SetSftpClient(m_sftp.get());
    m_monitor->GetPublisher().SetAddressChangeClock(&m_clock);
}

PublishingCore::~PublishingCore() = default;

AddressWatch& PublishingCore::Watch() {
    if (!m_watch)
        UseWatch(std::make_unique<AddressWatch>(OpenAddressWatch(m_baseClock)));
    m_monitor->SetAddressEventsWatched(m_watch->Watching());
    return *m_watch;
}

void PublishingCore::UseAddressEvents(std::unique_ptr<platform::AddressEvents> events) {
    UseWatch(std::make_unique<AddressWatch>(m_baseClock, std::move(events)));
}

void PublishingCore::UseWatch(std::unique_ptr<AddressWatch> watch) {
    // The watch waits on the base clock: the publication's clock waits through it.
    m_clock.WatchWith(watch.get(), m_address.get());
    m_watch = std::move(watch);
    m_monitor->SetAddressEventsWatched(m_watch->Watching());
}

void PublishingCore::ApplyClientDefaults(ftp::TIdFTP& client) {
    client.SetPassive(true);
    client.SetTransferType(ftp::ftASCII);
}

}  // namespace signposter
