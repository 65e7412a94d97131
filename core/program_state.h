#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace signposter {

// The settings file as this program last read or wrote it (core/settings.cpp): what tells a change made
// by another program from one made here.
struct SettingsFileRecord {
    bool known = false;
    std::string text;                 // the whole file
    std::vector<std::string> values;  // each setting as read from it
    std::vector<std::int64_t> stamp;  // device, inode, size and change time, for a cheap first look
};

// The program-wide values of the monitor. One object, owned by the program and handed to the core.
struct ProgramState {
    std::string CurrentIP;      // the address last detected, or "LastIP" from the settings at start
    std::string PreviousIP;     // CurrentIP at the start of the latest monitor tick
    std::string IgnoreList;     // addresses never published, comma separated
    std::string TemplateFile;   // path of the user template file
    std::string LocalPageFile;  // where the page is built before the upload
    bool Busy = false;          // a monitor tick's detection and publication are running
    // FTPS, as read from the settings file at start. Never written back by SaveSettings: the user sets
    // them in the file or with signposter-cli set (taken up by a running program within a second), or in
    // the settings dialog (taken up at once, core/extended_settings.h).
    std::string FtpSecurity;     // "None" or "ExplicitTLS" (any case); empty is None
    std::string TlsTrustFile;    // PEM certificates trusted besides the system's
    std::string TlsFingerprint;  // the server certificate's SHA-256, as typed

    // SFTP and the page written under a temporary name first, read from the settings and never written
    // back by SaveSettings.
    std::string Protocol;       // FTP (also when empty) or SFTP
    std::string SshHostKey;     // the pinned host key, "SHA256:..." as OpenSSH prints it
    std::string SshKeyFile;     // an OpenSSH private key; its passphrase is the password
    bool AtomicUpload = false;  // FTP: store under a temporary name, then rename over the page

    // Where the address comes from (core/address_source.h). Read from the settings, never written back,
    // so that a settings file without them works exactly as it always did.
    std::string AddressSource;     // HostName (also when empty), Interface, Web or UPnP
    std::string AddressInterface;  // Interface: its name
    std::string AddressURL;        // Web: the page that echoes our address
    int AddressPollSeconds = 0;    // Web and UPnP: seconds between questions; 0 for the source's default
    bool PublishPrivate = false;   // publish addresses that visitors cannot reach, too
    std::string AddressProblem;    // why the latest tick's source gave no address
    // IPv6, read from the settings and never written back by SaveSettings (core/address_family.h).
    std::string AddressFamily;  // IPv4 (also when empty), IPv6 or Both
    std::string IPv6Kind;       // stable (also when empty) or temporary
    // The IPv6 address last detected, or "LastIP6" from the settings at start; the program writes that key
    // only while AddressFamily is not IPv4.
    std::string CurrentIP6;

    // Verification and forced republication, read from the settings and never written back by
    // SaveSettings: without them the program behaves, and writes its file, as it always did.
    std::string VerifyURL;    // where visitors get the page; empty: no verification
    std::string VerifyMatch;  // Exact (also when empty) or Contains
    int RepublishHours = 0;   // 0: off; a text that is no number loads as -1, which validation refuses
    // Written by the program (only while RepublishHours > 0): the last successful publication's UTC
    // seconds, and which page it was ("address" or "offline").
    std::optional<std::int64_t> LastPublished;
    std::string LastPublishedPage;
    // A publication whose attempts all failed, kept in the settings file (only while there is one) so that
    // a restart publishes it: "1" for the address page, "offline" for the notice, empty for none.
    std::string PendingPublication;
    // The tray program tells a failed publication (and the next that works) on the desktop; read from the
    // settings, never written back by SaveSettings.
    bool Notify = true;
    // Where the password lives (core/password_store.h): empty or "file" as always, "keyring", "command:...".
    std::string PasswordStore;
    // The user's commands after a publication that worked, or that failed (core/publication_hook.h).
    std::string OnPublished;
    std::string OnFailed;
    // The record `signposter-cli status` reads (core/publication_record.h), written by the program from the
    // first failed publication on, as the file holds it.
    std::string LastOutcome;           // published, failed or refused
    std::string LastOutcomeTime;       // UTC seconds
    std::string LastOutcomeText;       // the line the user was shown
    std::string LastPublishedAddress;  // the address (or OFFLINE) of the last success
    std::string NextRetry;             // UTC seconds of the pending publication's next timed retry
    SettingsFileRecord SettingsOnFile;
};

}  // namespace signposter
