#pragma once

#include <memory>
#include <string>

#include "core/address_discovery.h"
#include "core/address_source.h"
#include "core/address_watch.h"
#include "core/clock.h"
#include "core/live_settings.h"
#include "core/monitor.h"
#include "core/page_fetcher.h"
#include "core/program_state.h"
#include "core/address_change_clock.h"
#include "core/publisher.h"
#include "core/user_interface.h"

namespace signposter {

namespace ftp {
class TIdFTP;
}
namespace sftp {
class SftpClient;
}

// What tests drive instead of the machine's own; empty members mean the machine's.
struct CoreServices {
    HostLookup* lookup = nullptr;
    const Clock* clock = nullptr;
    std::shared_ptr<UpnpGateway> upnp;
    std::unique_ptr<PageFetcher> fetcher;
};

// The program put together once: the program-wide values, the FTP client as the program uses it, the host
// lookup, the clock and the monitor with its publisher. The window and every command of signposter-cli
// that publishes hold one and add only their own fields and user interface; a new setting or feature is
// wired here.
class PublishingCore {
public:
    PublishingCore(LiveSettings& fields, UserInterface& ui, std::string settingsPath,
                   CoreServices services = {});
    ~PublishingCore();
    PublishingCore(const PublishingCore&) = delete;
    PublishingCore& operator=(const PublishingCore&) = delete;

    // The client as the program creates it: passive, ASCII transfers. The publisher sets the rest from the
    // fields before each publication.
    static void ApplyClientDefaults(ftp::TIdFTP& client);

    ProgramState& State() { return m_state; }
    const ProgramState& State() const { return m_state; }
    const std::string& SettingsPath() const { return m_settingsPath; }
    // The clock every wait of the core takes: the given one, watching the address during publications.
    const Clock& GetClock() const { return m_clock; }
    HostLookup& Lookup() { return *m_lookup; }
    // The address source the settings choose, as the monitor asks it.
    ConfiguredAddress& Address() { return *m_address; }
    ftp::TIdFTP& Client() { return *m_client; }
    // The client used instead when Protocol=SFTP.
    sftp::SftpClient& Sftp() { return *m_sftp; }
    Monitor& GetMonitor() { return *m_monitor; }
    Publisher& GetPublisher() { return m_monitor->GetPublisher(); }
    // Where the published page is fetched back from (VerifyURL).
    PageFetcher& Fetcher() { return *m_fetcher; }
    // The monitor's wait with the kernel's address events, opened when first asked for; the monitor then
    // leaves the interface source to the events, and publications are given up when the address they
    // publish changes under them (core/address_change_clock.h). Tests give their own events first.
    AddressWatch& Watch();
    void UseAddressEvents(std::unique_ptr<platform::AddressEvents> events);

private:
    void UseWatch(std::unique_ptr<AddressWatch> watch);

    std::string m_settingsPath;
    ProgramState m_state;
    std::unique_ptr<HostLookup> m_ownLookup;
    HostLookup* m_lookup;
    const Clock& m_baseClock;
    AddressChangeClock m_clock;
    // Held by pointer so that the front ends see no client header.
    std::unique_ptr<ftp::TIdFTP> m_client;  // IdFTP1
    std::unique_ptr<sftp::SftpClient> m_sftp;
    std::unique_ptr<ConfiguredAddress> m_address;
    std::unique_ptr<Monitor> m_monitor;
    std::unique_ptr<PageFetcher> m_fetcher;
    std::unique_ptr<AddressWatch> m_watch;
};

}  // namespace signposter
