#include "core/extended_settings.h"

#include <algorithm>

#include "core/address_family.h"
#include "core/address_source.h"
#include "core/ini_store.h"
#include "core/page_verification.h"
#include "core/settings.h"
#include "net/tls_channel.h"
#include "net/tls_settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "sftp/sftp_client.h"

namespace signposter {

namespace {

using Problem = std::optional<std::string>;

bool IsSource(const ProgramState& state, SourceKind kind) {
    return ParseSourceKind(state.AddressSource) == kind;
}

bool HasScheme(const std::string& url, std::string_view scheme) {
    return text::UpperAscii(text::Trim(url)).rfind(scheme, 0) == 0;
}

// The verification's own messages, so that its check and these keys say the same.
Problem VerificationProblem(void (*put)(ProgramState&, const std::string&), const std::string& value) {
    ProgramState alone;
    put(alone, value);
    const std::string messages = VerificationSettingsMessages(alone);
    if (messages.empty())
        return std::nullopt;
    return text::SplitLines(messages).front();
}

std::string CountOrEmpty(int value) {
    return value == 0 ? std::string() : std::to_string(value);
}

bool UsesSftp(const ProgramState& state) {
    return sftp::ParseSftpProtocol(state.Protocol).value_or(false);
}

void PutRepublishHours(ProgramState& state, const std::string& text) {
    // Text that is no number is kept as a value validation refuses, not quietly taken as "off".
    state.RepublishHours = text::Trim(text).empty() ? 0 : text::TryStrictInteger(text).value_or(-1);
}

// To add a key: one entry here and its field in ProgramState; nothing else. LoadSettings reads it, `show`
// prints it, `set` and the dialog check it with `check`, the monitor validates it while `inUse` says so,
// and a key of a dialog group appears in the dialog as a text field (give it a widget of its own in
// ui/settings_dialog.cpp if a text field does not suit it). A key the program writes itself is a
// KeyOwner::Program entry in SettingsGroup::None. The order is the order of `show` and of validation's
// messages.
const SettingKey kKeys[] = {
    {"FtpSecurity", "", KeyOwner::User, SettingsGroup::Security,
     "None (plain FTP, also when empty) or ExplicitTLS (AUTH TLS: login and page encrypted)",
     [](const ProgramState& s) { return s.FtpSecurity; },
     [](ProgramState& s, const std::string& v) { s.FtpSecurity = v; },
     [](const std::string& v) -> Problem {
         if (!net::ParseFtpSecurity(v))
             return "Unknown FtpSecurity value";
         return std::nullopt;
     },
     nullptr, nullptr},
    {"TlsTrustFile", "", KeyOwner::User, SettingsGroup::Security,
     "a PEM file of certificates trusted besides the system's",
     [](const ProgramState& s) { return s.TlsTrustFile; },
     [](ProgramState& s, const std::string& v) { s.TlsTrustFile = v; },
     [](const std::string& v) -> Problem {
         const std::string file = text::Trim(v);
         if (file.empty())
             return std::nullopt;
         // A FIFO or a device named here would block every publication that opened it.
         const std::string problem = net::TrustFileProblem(file);
         if (problem.empty())
             return std::nullopt;
         return problem == "not found" ? "TLS trust file not found" : "TLS trust file: " + problem;
     },
     nullptr, nullptr},
    {"TlsFingerprint", "", KeyOwner::User, SettingsGroup::Security,
     "trust only the server certificate with this SHA-256 fingerprint (64 hex digits, colons allowed)",
     [](const ProgramState& s) { return s.TlsFingerprint; },
     [](ProgramState& s, const std::string& v) { s.TlsFingerprint = v; },
     [](const std::string& v) -> Problem {
         if (!net::NormalizeFingerprint(v))
             return "TLS fingerprint must be 64 hex digits";
         return std::nullopt;
     },
     nullptr, nullptr},
    {"Protocol", "", KeyOwner::User, SettingsGroup::Security,
     "FTP (also when empty) or SFTP (SSH file transfer: Host, Port, usually 22, User, Password)",
     [](const ProgramState& s) { return s.Protocol; },
     [](ProgramState& s, const std::string& v) { s.Protocol = v; },
     [](const std::string& v) -> Problem {
         if (!sftp::ParseSftpProtocol(v))
             return "Protocol takes FTP or SFTP";
         return std::nullopt;
     },
     nullptr, nullptr},
    {"SshHostKey", "", KeyOwner::User, SettingsGroup::Security,
     "SFTP: trust only the host key with this fingerprint (SHA256:... as ssh-keygen -l prints it); "
     "empty: ~/.ssh/known_hosts decides",
     [](const ProgramState& s) { return s.SshHostKey; },
     [](ProgramState& s, const std::string& v) { s.SshHostKey = v; },
     [](const std::string& v) -> Problem {
         if (!sftp::NormalizeHostKeyPin(v))
             return "SSH host key must be SHA256: and 43 base64 characters";
         return std::nullopt;
     },
     UsesSftp, nullptr},
    {"SshKeyFile", "", KeyOwner::User, SettingsGroup::Security,
     "SFTP: log in with this OpenSSH private key (its passphrase is the password); empty: ssh-agent, "
     "else the password",
     [](const ProgramState& s) { return s.SshKeyFile; },
     [](ProgramState& s, const std::string& v) { s.SshKeyFile = v; },
     [](const std::string& v) -> Problem {
         const std::string file = text::Trim(v);
         if (!file.empty() && !platform::FileExists(file))
             return "SSH key file not found";
         return std::nullopt;
     },
     UsesSftp, nullptr},
    {"AtomicUpload", "0", KeyOwner::User, SettingsGroup::Security,
     "FTP: 1 stores the page under a temporary name and renames it over the page; 0 stores it in place "
     "(SFTP always renames)",
     [](const ProgramState& s) { return std::string(s.AtomicUpload ? "1" : "0"); },
     [](ProgramState& s, const std::string& v) { s.AtomicUpload = text::LenientInteger(v) == 1; },
     [](const std::string& v) -> Problem {
         if (v != "" && v != "0" && v != "1")
             return "AtomicUpload takes 1 or 0";
         return std::nullopt;
     },
     nullptr, nullptr},
    {"AddressSource", "", KeyOwner::User, SettingsGroup::Address,
     "where the address comes from: HostName (also when empty), Interface, Web or UPnP",
     [](const ProgramState& s) { return s.AddressSource; },
     [](ProgramState& s, const std::string& v) { s.AddressSource = v; },
     [](const std::string& v) -> Problem {
         if (ParseSourceKind(v) == SourceKind::Unknown)
             return "Unknown AddressSource value";
         return std::nullopt;
     },
     nullptr, nullptr},
    {"AddressInterface", "", KeyOwner::User, SettingsGroup::Address,
     "Interface source: the network interface whose first IPv4 address is published",
     [](const ProgramState& s) { return s.AddressInterface; },
     [](ProgramState& s, const std::string& v) { s.AddressInterface = v; }, nullptr,
     [](const ProgramState& s) { return IsSource(s, SourceKind::Interface); }, "No address interface"},
    {"AddressURL", "", KeyOwner::User, SettingsGroup::Address,
     "Web source: an http:// or https:// page that answers with the address the request came from",
     [](const ProgramState& s) { return s.AddressURL; },
     [](ProgramState& s, const std::string& v) { s.AddressURL = v; },
     [](const std::string& v) -> Problem {
         if (!text::Trim(v).empty() && !HasScheme(v, "HTTP://") && !HasScheme(v, "HTTPS://"))
             return "Address URL must start with http:// or https://";
         return UrlPortProblem(text::Trim(v));
     },
     [](const ProgramState& s) { return IsSource(s, SourceKind::Web); }, "No address URL"},
    {"AddressPollSeconds", "0", KeyOwner::User, SettingsGroup::Address,
     "Web and UPnP sources: seconds between questions, 30 to 86400 (empty: 300 web page, 60 router)",
     [](const ProgramState& s) { return CountOrEmpty(s.AddressPollSeconds); },
     [](ProgramState& s, const std::string& v) { s.AddressPollSeconds = text::LenientInteger(v); },
     [](const std::string& v) -> Problem {
         if (text::Trim(v).empty())
             return std::nullopt;
         const auto seconds = text::TryStrictInteger(v);
         if (!seconds || *seconds < kMinPollSeconds || *seconds > kMaxPollSeconds)
             return "Address poll seconds must be " + std::to_string(kMinPollSeconds) + " to " +
                    std::to_string(kMaxPollSeconds);
         return std::nullopt;
     },
     [](const ProgramState& s) { return IsSource(s, SourceKind::Web) || IsSource(s, SourceKind::UPnP); },
     nullptr},
    {"PublishPrivate", "0", KeyOwner::User, SettingsGroup::Address,
     "1: publish addresses visitors cannot reach (private, carrier-grade NAT) too; 0: hold them back",
     [](const ProgramState& s) { return std::string(s.PublishPrivate ? "1" : "0"); },
     [](ProgramState& s, const std::string& v) { s.PublishPrivate = text::LenientInteger(v) == 1; },
     [](const std::string& v) -> Problem {
         if (v != "" && v != "0" && v != "1")
             return "PublishPrivate takes 1 or 0";
         return std::nullopt;
     },
     nullptr, nullptr},
    {"AddressFamily", "", KeyOwner::User, SettingsGroup::Address,
     "IPv4 (also when empty), IPv6, or Both (IPv4 when it is public, else IPv6); not IPv4: FTP over IPv6 too",
     [](const ProgramState& s) { return s.AddressFamily; },
     [](ProgramState& s, const std::string& v) { s.AddressFamily = v; },
     [](const std::string& v) -> Problem {
         if (!ParseAddressFamily(v))
             return "AddressFamily takes IPv4, IPv6 or Both";
         return std::nullopt;
     },
     nullptr, nullptr},
    {"IPv6Kind", "", KeyOwner::User, SettingsGroup::Address,
     "stable (also when empty): a lasting global IPv6 address; temporary: the newest privacy address",
     [](const ProgramState& s) { return s.IPv6Kind; },
     [](ProgramState& s, const std::string& v) { s.IPv6Kind = v; },
     [](const std::string& v) -> Problem {
         if (!ParseIPv6Kind(v))
             return "IPv6Kind takes stable or temporary";
         return std::nullopt;
     },
     [](const ProgramState& s) {
         return ParseAddressFamily(s.AddressFamily).value_or(AddressFamily::IPv4) != AddressFamily::IPv4;
     },
     nullptr},
    {"LastIP6", "", KeyOwner::Program, SettingsGroup::None,
     "the IPv6 address last detected (written while AddressFamily is not IPv4)",
     [](const ProgramState& s) { return s.CurrentIP6; },
     // Compared with the source's canonical answers: "2001:DB8::0:1" read back must be no change.
     [](ProgramState& s, const std::string& v) { s.CurrentIP6 = CanonicalAddress(v); },
     // A damaged value is only an address that the next tick replaces, as for LastIP.
     nullptr, nullptr, nullptr},
    {"VerifyURL", "", KeyOwner::User, SettingsGroup::Verification,
     "where visitors get the page (http:// or https://), fetched after each upload; empty: no check",
     [](const ProgramState& s) { return s.VerifyURL; },
     [](ProgramState& s, const std::string& v) { s.VerifyURL = v; },
     [](const std::string& v) -> Problem {
         if (auto problem =
                 VerificationProblem([](ProgramState& s, const std::string& t) { s.VerifyURL = t; }, v))
             return problem;
         return UrlPortProblem(text::Trim(v));
     },
     nullptr, nullptr},
    {"VerifyMatch", "", KeyOwner::User, SettingsGroup::Verification,
     "Exact (also when empty): the served page is the uploaded one; Contains: the host may wrap it",
     [](const ProgramState& s) { return s.VerifyMatch; },
     [](ProgramState& s, const std::string& v) { s.VerifyMatch = v; },
     [](const std::string& v) -> Problem {
         return VerificationProblem([](ProgramState& s, const std::string& t) { s.VerifyMatch = t; }, v);
     },
     nullptr, nullptr},
    {"RepublishHours", "", KeyOwner::User, SettingsGroup::Verification,
     "publish again after this many hours even without a change, 1 to 8760; empty or 0: never",
     [](const ProgramState& s) { return CountOrEmpty(s.RepublishHours); }, PutRepublishHours,
     [](const std::string& v) -> Problem { return VerificationProblem(PutRepublishHours, v); }, nullptr,
     nullptr},
    {"Notify", "1", KeyOwner::User, SettingsGroup::None,
     "1 (also when empty): a desktop notification when a publication fails and when it works again; 0: none",
     [](const ProgramState& s) { return std::string(s.Notify ? "1" : "0"); },
     [](ProgramState& s, const std::string& v) {
         s.Notify = text::Trim(v).empty() || text::LenientInteger(v) != 0;
     },
     [](const std::string& v) -> Problem {
         if (v != "" && v != "0" && v != "1")
             return "Notify takes 1 or 0";
         return std::nullopt;
     },
     nullptr, nullptr},
    {"LastPublished", "", KeyOwner::Program, SettingsGroup::None,
     "UTC seconds of the last successful publication (written while RepublishHours is set or a record is "
     "kept)",
     [](const ProgramState& s) { return s.LastPublished ? std::to_string(*s.LastPublished) : std::string(); },
     [](ProgramState& s, const std::string& v) { s.LastPublished = ParseLastPublished(v); }, nullptr, nullptr,
     nullptr},
    {"LastPublishedPage", "", KeyOwner::Program, SettingsGroup::None,
     "which page was published last: address or offline",
     [](const ProgramState& s) { return s.LastPublishedPage; },
     [](ProgramState& s, const std::string& v) { s.LastPublishedPage = v; }, nullptr, nullptr, nullptr},
    {"PendingPublication", "", KeyOwner::Program, SettingsGroup::None,
     "a publication that failed and is made again at the next start: 1 the address page, offline the notice",
     [](const ProgramState& s) { return s.PendingPublication; },
     [](ProgramState& s, const std::string& v) { s.PendingPublication = v; }, nullptr, nullptr, nullptr},
    // The record of the last publication for `signposter-cli status` (core/publication_record.h).
    {"LastOutcome", "", KeyOwner::Program, SettingsGroup::None,
     "how the last publication ended: published, failed, or refused (waits for new settings)",
     [](const ProgramState& s) { return s.LastOutcome; },
     [](ProgramState& s, const std::string& v) { s.LastOutcome = v; }, nullptr, nullptr, nullptr},
    {"LastOutcomeTime", "", KeyOwner::Program, SettingsGroup::None,
     "UTC seconds of the last publication's end", [](const ProgramState& s) { return s.LastOutcomeTime; },
     [](ProgramState& s, const std::string& v) { s.LastOutcomeTime = v; }, nullptr, nullptr, nullptr},
    {"LastOutcomeText", "", KeyOwner::Program, SettingsGroup::None, "what the last publication reported",
     [](const ProgramState& s) { return s.LastOutcomeText; },
     [](ProgramState& s, const std::string& v) { s.LastOutcomeText = v; }, nullptr, nullptr, nullptr},
    {"LastPublishedAddress", "", KeyOwner::Program, SettingsGroup::None,
     "the address (or OFFLINE) the last successful publication put on the server",
     [](const ProgramState& s) { return s.LastPublishedAddress; },
     [](ProgramState& s, const std::string& v) { s.LastPublishedAddress = v; }, nullptr, nullptr, nullptr},
    {"NextRetry", "", KeyOwner::Program, SettingsGroup::None,
     "UTC seconds when a running monitor retries the pending publication",
     [](const ProgramState& s) { return s.NextRetry; },
     [](ProgramState& s, const std::string& v) { s.NextRetry = v; }, nullptr, nullptr, nullptr},
};

}  // namespace

std::span<const SettingKey> SettingKeys() {
    return kKeys;
}

const SettingKey* FindSettingKey(std::string_view name) {
    for (const SettingKey& key : kKeys) {
        if (name == key.name)
            return &key;
    }
    return nullptr;
}

std::vector<SettingProblem> ExtendedSettingsProblems(const ProgramState& state) {
    std::vector<SettingProblem> problems;
    for (const SettingKey& key : kKeys) {
        if (key.inUse && !key.inUse(state))
            continue;
        const std::string value = key.get(state);
        if (key.missing && text::Trim(value).empty())
            problems.push_back({key.name, key.missing});
        else if (key.check)
            if (auto problem = key.check(value))
                problems.push_back({key.name, *problem});
    }
    return problems;
}

std::optional<std::string> ValueProblem(const SettingKey& key, const std::string& text) {
    // A line break would split the key's line in the file and could forge other keys.
    if (text::HasLineBreak(text))
        return std::string(key.name) + " may not contain a line break";
    return key.check ? key.check(text) : std::nullopt;
}

void ReadExtendedSettings(ProgramState& state) {
    for (const SettingKey& key : kKeys)
        key.put(state, IniReadString(kSettingsSection, key.name, key.fallback));
}

KeyValues ChangedKeys(const ProgramState& before, const ProgramState& after) {
    KeyValues changed;
    for (const SettingKey& key : kKeys) {
        if (key.owner != KeyOwner::User)
            continue;
        std::string now = key.get(after);
        if (now != key.get(before))
            changed.emplace_back(key.name, std::move(now));
    }
    return changed;
}

void ApplySettingKeys(ProgramState& state, const KeyValues& keys) {
    for (const auto& [name, value] : keys) {
        if (const SettingKey* key = FindSettingKey(name))
            key->put(state, value);
    }
}

void WriteSettingKeys(const std::string& settingsPath, const KeyValues& keys) {
    if (keys.empty())
        return;
    WithIniStore(settingsPath, [&] { IniWriteStrings(kSettingsSection, keys); });
}

std::optional<std::string> PortProblem(std::string_view text) {
    const auto port = text::TryStrictInteger(text);
    if (port && (*port < 1 || *port > 65535))
        return std::string(kPortMessage);
    return std::nullopt;
}

std::optional<std::string> UrlPortProblem(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return std::nullopt;
    std::string_view authority = url.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::size_t colon;
    if (!authority.empty() && authority.front() == '[') {  // an IPv6 literal holds colons of its own
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos || close + 1 >= authority.size() || authority[close + 1] != ':')
            return std::nullopt;
        colon = close + 1;
    } else {
        colon = authority.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
    }
    const std::string_view port = authority.substr(colon + 1);
    if (port.empty())
        return std::nullopt;  // "host:" is the scheme's own port
    // More than five digits cannot be a port, and would overflow the reading.
    const bool digits = port.size() <= 5 &&
                        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(std::string(port)) < 1 || std::stoi(std::string(port)) > 65535)
        return std::string(kPortMessage);
    return std::nullopt;
}

}  // namespace signposter
