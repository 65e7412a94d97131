#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/address_discovery.h"
#include "core/address_source.h"
#include "core/clock.h"
#include "core/live_settings.h"
#include "core/program_state.h"
#include "core/user_interface.h"

namespace signposter::ftp {
class TIdFTP;
}

namespace signposter {

class Publisher;

// The program's control logic: start and close, the once-a-second monitor tick, validation and the
// commands of the main window. The core's runner (core/runner.h) drives it, for the window and for the
// headless monitor alike. Every entry point
// catches what escapes it and shows it through the default error display, as the application would.
class Monitor {
public:
    // The address comes from the source the settings choose, over `lookup` for the host name and the
    // interfaces.
    Monitor(LiveSettings& settings, UserInterface& ui, ProgramState& state, HostLookup& lookup,
            const Clock& clock, ftp::TIdFTP& ftp, std::string settingsPath);
    // The address comes from `address`, which the caller owns (the program's assembly).
    Monitor(LiveSettings& settings, UserInterface& ui, ProgramState& state, ConfiguredAddress& address,
            const Clock& clock, ftp::TIdFTP& ftp, std::string settingsPath);
    ~Monitor();

    // Window created: loads the settings into the fields. Errors are shown; the program goes on.
    void FormCreate();
    // Window closing: saves the settings. False when the save failed (the error has been shown and the
    // window must stay open).
    bool FormClose();
    // The monitor tick, once a second.
    void Timer1Timer();
    // The kernel's address events are watched (core/address_watch.h): the interface source waits for them.
    void SetAddressEventsWatched(bool watched);
    // A burst of address events has settled: the source is asked now and a change published as a tick would.
    void AddressEventsSettled();
    // Milliseconds until the next tick is wanted: a second, or kQuietTickMs while the source waits for
    // address events and no publication is pending.
    std::int64_t TickIntervalMs() const;
    bool ValidateSettings();

    void MonitorIpCommand();  // "Monitor IP"
    void UpdateNowCommand();  // "Update Now"
    // "Update Now" clicked when Publisher::PublicationsEnded() answered `publicationsSeen`: a publication of
    // the same page that ended since answers it.
    void UpdateNowCommand(std::uint64_t publicationsSeen);
    void OfflineCommand();    // "Offline"
    void HelpCommand();       // "Help"
    void TrayIconClick();     // shows the window when hidden, hides it when shown

    static std::string HelpText();
    Publisher& GetPublisher() { return *m_publisher; }

private:
    Monitor(LiveSettings& settings, UserInterface& ui, ProgramState& state,
            std::unique_ptr<ConfiguredAddress> ownAddress, ConfiguredAddress* address, const Clock& clock,
            ftp::TIdFTP& ftp, std::string settingsPath);
    template <typename Action>
    bool ShowingErrors(Action&& action);
    void ValidateThen(void (Monitor::*publish)());
    void PublishAddressNow();
    void PublishOfflineNow();
    // A polled source failed this tick: the user learns why the address was not checked.
    void ReportAddressProblem(const std::string& problem);
    // RepublishHours: whether the latest successful publication is due again (a LastPublished in the
    // future is taken as now and rewritten), and the record of each success.
    bool RepublishDue();
    void RecordPublication(const PublicationOutcome& outcome);
    // The user's command for the outcome (OnPublished, OnFailed), run here on the publishing thread, bounded
    // and ended by the program's stop; what it did goes to the log, never into the outcome.
    void RunPublicationHook(const PublicationOutcome& outcome);
    void WriteLastPublished();
    // LastIP6 follows CurrentIP6 as LastIP follows CurrentIP, written only when it changed (which needs a
    // family other than IPv4), so that an old file keeps its bytes.
    void WriteLastIPv6();

    LiveSettings& m_settings;
    UserInterface& m_ui;
    ProgramState& m_state;
    std::unique_ptr<ConfiguredAddress> m_ownAddress;
    ConfiguredAddress* m_address;
    const Clock& m_clock;
    std::string m_settingsPath;
    std::unique_ptr<Publisher> m_publisher;
    // Where the page goes, and the password, as the last publication or the start found them: a change of
    // either while the window is hidden is published at the next tick.
    std::string Place() const;
    std::optional<std::string> m_place;
    std::string m_password;
    std::string m_hookAddress;  // the address the last successful publication put up, for the next hook
    std::optional<std::uint64_t> m_updateSeen;  // of the "Update Now" running now
    // When this run last forced a republication: one that was skipped (activity switch, ignore list)
    // records no success, and must not be forced again at every tick.
    std::optional<std::int64_t> m_lastForced;
};

}  // namespace signposter
