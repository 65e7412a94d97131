#include "core/publishing_core.h"

namespace signposter {

PublishingCore::PublishingCore(LiveSettings& fields, UserInterface& ui, std::string settingsPath,
                               CoreServices services)
    : m_settingsPath(std::move(settingsPath)),
      m_lookup(services.lookup),
      m_clock(services.clock ? services.clock : &platform::MachineClock()) {
    if (!m_lookup) {
        m_ownLookup = std::make_unique<SystemHostLookup>(*m_clock);
        m_lookup = m_ownLookup.get();
    }
    ApplyClientDefaults(m_client);
    m_client.SetClock(*m_clock);
    m_sftp.SetClock(*m_clock);
    m_address = std::make_unique<ConfiguredAddress>(m_state, *m_lookup, *m_clock, std::move(services.upnp));
    m_monitor = std::make_unique<Monitor>(fields, ui, m_state, *m_address, *m_clock, m_client, m_settingsPath);
    m_fetcher = services.fetcher ? std::move(services.fetcher) : std::make_unique<HttpPageFetcher>(*m_clock, m_state);
    m_monitor->GetPublisher().SetPageFetcher(m_fetcher.get());
    m_monitor->GetPublisher().SetSftpClient(&m_sftp);
}

PublishingCore::~PublishingCore() = default;

AddressWatch& PublishingCore::Watch() {
    if (!m_watch)
        m_watch = std::make_unique<AddressWatch>(OpenAddressWatch(*m_clock));
    m_monitor->SetAddressEventsWatched(m_watch->Watching());
    return *m_watch;
}

void PublishingCore::UseAddressEvents(std::unique_ptr<platform::AddressEvents> events) {
    m_watch = std::make_unique<AddressWatch>(*m_clock, std::move(events));
    m_monitor->SetAddressEventsWatched(m_watch->Watching());
}

void PublishingCore::ApplyClientDefaults(ftp::TIdFTP& client) {
    client.SetPassive(true);
    client.SetTransferType(ftp::ftASCII);
}

}  // namespace signposter
