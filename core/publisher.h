#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/live_settings.h"
#include "core/program_state.h"
#include "core/user_interface.h"

namespace signposter::ftp {
class TIdFTP;
}
namespace signposter::sftp {
class SftpClient;
}

namespace signposter {

class PageFetcher;
class AddressChangeClock;
struct AttemptFailure;

// Why an address taken from the settings file (LastIP, LastIP6) is not published: it is no address.
std::string DamagedAddressReason(const ProgramState& state, const std::string& address);

// Publishes one page: applies the activity switch and the ignore list, has the page built, and uploads it
// with up to five attempts three seconds apart. A publication whose attempts all failed stays pending and
// is tried again later (see RetryDue), until it succeeds or a newer publication replaces it.
class Publisher {
public:
    static constexpr int kAttempts = 5;
    static constexpr int kAttemptPauseMs = 3000;
    static constexpr std::int64_t kFirstRetryMs = 60'000;
    static constexpr std::int64_t kLongestRetryMs = 15 * 60'000;
    // A host may take a moment to show a new file (a cache, a replicated store): one more look after this.
    static constexpr int kVerifyPauseMs = 5000;

    Publisher(LiveSettings& fields, UserInterface& ui, ProgramState& state, const Clock& clock,
              ftp::TIdFTP& ftp);
    ~Publisher();

    // The redirect page for state.CurrentIP; `justDetected` when the monitor has just looked it up.
    void PublishAddress(bool justDetected = false);
    // The offline notice.
    void PublishOffline();
    // Sets the client's host, port, user, password and mode from the fields, as every attempt uses them. A
    // port text that is no number raises EConvertError; an unknown FtpSecurity value or a malformed TLS
    // fingerprint raises EIdTLSLibraryError, so that it never means plain FTP.
    void ConfigureClient();
    // The password from its store (PasswordStore) into m_password; nothing, or why there is none.
    std::optional<std::string> TakePassword();
    void ConfigureClientWithPassword();
    // Whether the settings choose SFTP ("Protocol"); any value but FTP, SFTP or empty raises EConvertError.
    bool UsesSftp() const;
    // The SFTP client used when the settings choose SFTP; without one the publisher makes its own.
    void SetSftpClient(sftp::SftpClient* client) { m_sftp = client; }
    // Where the page goes on the server: the remote path (one leading "/" removed) followed by the page
    // name, joined as they stand.
    std::string RemoteName() const;
    // Waits `ms` milliseconds on the clock: a stop request or a publication given up ends the wait.
    void Pause(int ms);

    // Where the page is fetched back from after an upload when VerifyURL is set; without one there is no
    // verification.
    void SetPageFetcher(PageFetcher* fetcher) { m_fetcher = fetcher; }
    // The clock that gives a publication of the address up when the address changes under it; without one
    // every publication runs to its end.
    void SetAddressChangeClock(AddressChangeClock* clock) { m_addressChangeClock = clock; }
    // Called after every successful publication, once the outcome has been reported (it may raise).
    void SetPublishedHook(std::function<void(const PublicationOutcome&)> hook) {
        m_onPublished = std::move(hook);
    }

    // Called whenever what is pending changes: "1" the address page, "offline" the notice, "" nothing.
    void SetPendingHook(std::function<void(const std::string&)> hook) {
        m_onPendingChanged = std::move(hook);
    }
    // A publication left pending by an earlier run: due at once.
    void RestorePending(bool offline);

    bool HasPending() const { return m_pending.has_value(); }
    // The pending publication is the address page (not the offline notice).
    bool HasPendingAddress() const { return m_pending && m_pending->kind == Kind::Address; }
    // A pending publication whose time has come.
    bool RetryDue() const;
    // Runs the pending publication again (the address page for the current address, or the notice).
    void RetryPending();
    // Milliseconds from now until the pending publication is due; nothing when none is pending or it waits
    // for a change of the settings.
    std::optional<std::int64_t> MillisecondsUntilRetry() const;
    // The pending publication failed for good (a refused login or path, a server not trusted): the timer
    // never retries it; a change of the settings should (RetryPending).
    bool PendingWaitsForSettings() const { return m_pending && m_pending->waitsForSettings; }
    // Called after every publication's outcome has been reported and what is pending has been settled.
    void SetFinishedHook(std::function<void(const PublicationOutcome&)> hook) {
        m_onFinished = std::move(hook);
    }

    // Publications ended so far (any thread may ask).
    std::uint64_t PublicationsEnded() const { return m_ended.load(); }
    // Whether a publication of the address page as the settings shape it now has ended since
    // PublicationsEnded() answered `seen`: "Update Now" then has nothing to add.
    bool PublishedSameSince(std::uint64_t seen) const;

    // Whether `address` is one of the comma-separated entries of `ignoreList` (entries trimmed; empty
    // entries never match; IPv6 entries match by value, whatever their spelling).
    static bool IsIgnored(const std::string& address, const std::string& ignoreList);

private:
    enum class Kind { Address, Offline };
    struct Pending {
        Kind kind;
        std::int64_t dueTick;
        std::int64_t intervalMs;
        bool waitsForSettings = false;
    };

    void Publish(Kind kind, std::int64_t retryIntervalMs, bool justDetected = false);
    // One connect, store and disconnect. Returns the failure, or nothing on success.
    std::optional<AttemptFailure> Attempt(const std::string& page, const std::string& remoteName);
    // The page visitors get, fetched and compared, with one more look after a pause: nothing when it
    // matches, otherwise the reason.
    std::optional<std::string> Verify(const std::string& page);
    void Finish(PublicationOutcome outcome, Kind kind, std::int64_t retryIntervalMs);
    std::string PendingName() const;
    // What shapes the page of `kind` and where it goes, as one text to compare.
    std::string Signature(Kind kind) const;

    LiveSettings& m_fields;
    UserInterface& m_ui;
    ProgramState& m_state;
    const Clock& m_clock;
    ftp::TIdFTP& m_ftp;
    PageFetcher* m_fetcher = nullptr;
    sftp::SftpClient* m_sftp = nullptr;
    AddressChangeClock* m_addressChangeClock = nullptr;
    std::unique_ptr<sftp::SftpClient> m_ownSftp;
    bool m_sftpChosen = false;  // by the latest ConfigureClient
    std::function<void(const PublicationOutcome&)> m_onPublished;
    std::function<void(const std::string&)> m_onPendingChanged;
    std::function<void(const PublicationOutcome&)> m_onFinished;
    std::optional<Pending> m_pending;
    std::string m_password;       // this publication's, from its store
    std::string m_lastSignature;  // of the publication that ended last
    std::atomic<std::uint64_t> m_ended{0};
};

}  // namespace signposter
