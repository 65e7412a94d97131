#include "core/extended_settings.h"

#include <algorithm>

#include "core/address_class.h"
#include "core/address_family.h"
#include "core/address_source.h"
#include "core/ini_store.h"
#include "core/page_verification.h"
#include "core/publication_hook.h"
#include "core/plain_live_settings.h"
#include "core/settings.h"
#include "net/tls_channel.h"
#include "net/tls_settings.h"
#include "http/http_get.h"
#include "platform/files.h"
#include "platform/text.h"
#include "sftp/sftp_client.h"

namespace signposter {

namespace {

bool IsSource(const ProgramState& state, SourceKind kind) {
    return ParseSourceKind(state.AddressSource) == kind;
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

// kPortMessage when the URL names a port that is not a number from 1 to 65535: said as the window's port
// field says it, before the URL's other faults.
Problem UrlPortProblem(std::string_view url) {
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

// libcurl's own reading of a URL, the one every fetch makes: what it refuses here would otherwise fail at
// every poll and every verification.
Problem UrlCheck(const char* what, const std::string& value) {
    const std::string url = text::Trim(value);
    if (url.empty())
        return std::nullopt;
    if (text::UpperAscii(url).rfind("HTTP://", 0) == 0 || text::UpperAscii(url).rfind("HTTPS://", 0) == 0)
        if (auto port = UrlPortProblem(url))
            return port;
    const std::string problem = http::UrlProblem(url);
    if (problem.empty())
        return std::nullopt;
    return std::string(what) + (problem.rfind("URL ", 0) == 0 ? " " : " URL: ") + problem;
}

// Nothing when the value could be read, else the message.
template <typename Parsed>
Problem Unless(const std::optional<Parsed>& parsed, const char* message) {
    return parsed ? std::nullopt : Problem(message);
}

std::string CountOrEmpty(int value) {
    return value == 0 ? std::string() : std::to_string(value);
}

bool UsesSftp(const ProgramState& state) {
    return sftp::ParseSftpProtocol(state.Protocol).value_or(false);
}

// Any security but plain FTP: a value the program does not know is not taken to mean plain FTP.
bool UsesFtps(const ProgramState& state) {
    const auto security = net::ParseFtpSecurity(state.FtpSecurity);
    return !UsesSftp(state) && security != net::FtpSecurity::None;
}

void PutRepublishHours(ProgramState& state, const std::string& text) {
    // Text that is no number is kept as a value validation refuses, not quietly taken as "off".
    state.RepublishHours = text::Trim(text).empty() ? 0 : text::TryStrictInteger(text).value_or(-1);
}

template <std::string ProgramState::*Member>
std::string GetText(const ProgramState& state) {
    return state.*Member;
}
template <std::string ProgramState::*Member>
void PutText(ProgramState& state, const std::string& text) {
    state.*Member = text;
}
template <bool ProgramState::*Member>
std::string GetFlag(const ProgramState& state) {
    return state.*Member ? "1" : "0";
}
template <bool ProgramState::*Member>
void PutFlag(ProgramState& state, const std::string& text) {
    state.*Member = text::LenientInteger(text) == 1;
}

// A switch is stored as 1 or 0; a key the window does not hold may also be empty (its default).
Problem OneOrZero(const SettingKey& key, const std::string& v) {
    if (v == "0" || v == "1" || (v.empty() && key.saving == Saving::Never))
        return std::nullopt;
    return std::string(key.name) + " takes 1 or 0";
}

// The strict reading the publication makes of the port: text it cannot read fails every attempt.
Problem PortCheck(const SettingKey&, const std::string& v) {
    if (text::Trim(v).empty())
        return std::nullopt;
    const auto port = text::TryStrictInteger(v);
    if (!port || *port < 1 || *port > 65535)
        return std::string(kPortMessage);
    return std::nullopt;
}

// The page is built under its name in a local folder and stored under it on the server.
Problem PageNameCheck(const SettingKey&, const std::string& v) {
    const std::string name = text::Trim(v);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return std::string("HTML must be a file name such as ipaddress.htm");
    return std::nullopt;
}

// A FIFO or a device would block the page's building that opened it.
Problem TemplateCheck(const SettingKey&, const std::string& v) {
    const std::string file = StripQuotes(text::Trim(v));
    if (!file.empty() && platform::PathExists(file) && !platform::FileExists(file))
        return "Template " + text::Printable(file) + " is not a regular file";
    return std::nullopt;
}

Problem LastIPCheck(const SettingKey&, const std::string& v) {
    // The address the next tick compares with: anything else would be taken for a change.
    if (!v.empty() && !ParseDottedQuad(v))
        return std::string("LastIP takes an IPv4 address such as 192.0.2.1");
    return std::nullopt;
}

Problem PollCheck(const SettingKey& key, const std::string& v) {
    if (text::Trim(v).empty())
        return std::nullopt;
    const auto seconds = text::TryStrictInteger(v);
    if (!seconds || *seconds < key.minimum || *seconds > key.maximum)
        return "Address poll seconds must be " + std::to_string(key.minimum) + " to " +
               std::to_string(key.maximum);
    return std::nullopt;
}

// The program writes only these; anything else is no pending publication, and goes at the next save.
void PutPending(ProgramState& state, const std::string& text) {
    state.PendingPublication = text == "1" || text == "offline" ? text : std::string();
}

const Choice kSecurityChoices[] = {{"None", "Plain FTP"}, {"ExplicitTLS", "Explicit TLS (FTPS)"}};
const Choice kProtocolChoices[] = {{"FTP", "FTP"}, {"SFTP", "SFTP (SSH file transfer)"}};
const Choice kSourceChoices[] = {{"HostName", "Host name"},
                                 {"Interface", "Network interface"},
                                 {"Web", "Web page that shows the caller's address"},
                                 {"UPnP", "Router (UPnP)"}};
const Choice kFamilyChoices[] = {
    {"IPv4", "IPv4"}, {"IPv6", "IPv6"}, {"Both", "Both: IPv4 when visitors can reach it, else IPv6"}};
const Choice kIPv6KindChoices[] = {{"stable", "Stable address"},
                                   {"temporary", "Temporary (privacy) address"}};
const Choice kPasswordStoreChoices[] = {{"", "Settings file (scrambled)"},
                                         {"keyring", "Desktop keyring (Secret Service)"}};

Problem HookCheck(const SettingKey& key, const std::string& v) {
    if (auto problem = PublicationHook::CommandLineProblem(v))
        return std::string(key.name) + ": " + *problem;
    return std::nullopt;
}

const Choice kMatchChoices[] = {{"Exact", "Exact"}, {"Contains", "Contains the uploaded page"}};

// To add a key: one row here and, when the program holds it, its field in ProgramState; nothing else.
// LoadSettings reads it, `show` prints it, `set` and the dialog check it with `check`, the monitor
// validates it while `inUse` says so, and a key of a dialog group appears in the dialog as its `kind`
// says. The window's keys come first, in the order the file has always been read and written in; the
// order of the others is the order of `show` and of validation's messages.
// clang-format off
const SettingKey kKeys[] = {
    {.name = "Host", .saving = Saving::Always, .field = TextField::Host,
     .meaning = "the server's host name or address"},
    {.name = "Port", .fallback = "21", .saving = Saving::Always, .field = TextField::Port, .check = PortCheck,
     .meaning = "the server's port, 1 to 65535 (empty: 21)"},
    {.name = "Passive", .fallback = "1", .saving = Saving::Always, .flag = Switch::Passive,
     .check = OneOrZero, .meaning = "1: passive FTP (this side opens the data connection); 0: active"},
    {.name = "InternalYes", .fallback = "1", .saving = Saving::Always, .flag = Switch::InternalRedirect,
     .check = OneOrZero, .meaning = "1: the built-in page that sends visitors on to the address"},
    {.name = "InternalNo", .fallback = "0", .saving = Saving::Always, .flag = Switch::InternalNoRedirect,
     .check = OneOrZero,
     .meaning = "1: the built-in page that shows the address without sending visitors on"},
    {.name = "UserTemplate", .fallback = "0", .saving = Saving::Always, .flag = Switch::UserTemplate,
     .check = OneOrZero, .meaning = "1: the page is built from the Template file"},
    {.name = "User", .saving = Saving::Always, .field = TextField::User,
     .meaning = "the login name on the server"},
    {.name = "Password", .saving = Saving::Always, .field = TextField::Password,
     .toFile = EncodeStoredPassword, .fromFile = DecodeStoredPassword, .showing = Showing::Masked,
     .keptElsewhere = PasswordKeptElsewhere,
     .meaning = "the login password, stored scrambled unless PasswordStore says otherwise (set it with "
                "--password-stdin)"},
    {.name = "HTML", .fallback = "ipaddress.htm", .saving = Saving::Always, .field = TextField::PageName,
     .check = PageNameCheck, .meaning = "the page's file name, such as ipaddress.htm"},
    {.name = "RemotePath", .fallback = "/", .saving = Saving::Always, .field = TextField::RemotePath,
     .meaning = "the server folder for the page, ending in / (the page name is joined to it as it stands)"},
    {.name = "Template", .saving = Saving::Always, .field = TextField::TemplateFile,
     .put = PutText<&ProgramState::TemplateFile>, .toFile = StripQuotes, .check = TemplateCheck,
     .meaning = "the user template file, for UserTemplate=1"},
    {.name = "IgnoreIP", .saving = Saving::WhenCreated, .created = kDefaultIgnoreList,
     .get = GetText<&ProgramState::IgnoreList>, .put = PutText<&ProgramState::IgnoreList>,
     .meaning = "addresses never published, separated by commas"},
    {.name = "LastIP", .saving = Saving::Always, .get = GetText<&ProgramState::CurrentIP>,
     .put = PutText<&ProgramState::CurrentIP>, .check = LastIPCheck,
     .meaning = "the IPv4 address last detected"},
    {.name = "LastIP6", .owner = KeyOwner::Program, .get = GetText<&ProgramState::CurrentIP6>,
     // Compared with the source's canonical answers: "2001:DB8::0:1" read back must be no change.
     // A damaged value is only an address that the next tick replaces, as for LastIP.
     .put = [](ProgramState& s, const std::string& v) { s.CurrentIP6 = CanonicalAddress(v); },
     .meaning = "the IPv6 address last detected (written while AddressFamily is not IPv4)"},

    {.name = "FtpSecurity", .get = GetText<&ProgramState::FtpSecurity>,
     .put = PutText<&ProgramState::FtpSecurity>,
     .check = [](auto&, auto& v) { return Unless(net::ParseFtpSecurity(v), "Unknown FtpSecurity value"); },
     .meaning = "None (plain FTP, also when empty) or ExplicitTLS (AUTH TLS: login and page encrypted)",
     .group = SettingsGroup::Security, .kind = FieldKind::Choice, .label = "&Security:",
     .choices = kSecurityChoices},
    {.name = "TlsTrustFile", .get = GetText<&ProgramState::TlsTrustFile>,
     .put = PutText<&ProgramState::TlsTrustFile>,
     .check = [](const SettingKey&, const std::string& v) -> Problem {
         const std::string file = text::Trim(v);
         if (file.empty())
             return std::nullopt;
         // A FIFO or a device named here would block every publication that opened it.
         const std::string problem = net::TrustFileProblem(file);
         if (problem.empty())
             return std::nullopt;
         return problem == "not found" ? "TLS trust file not found" : "TLS trust file: " + problem;
     },
     .inUse = UsesFtps, .meaning = "FTPS: a PEM file of certificates trusted besides the system's",
     .group = SettingsGroup::Security, .kind = FieldKind::Path, .label = "T&rust file:"},
    {.name = "TlsFingerprint", .get = GetText<&ProgramState::TlsFingerprint>,
     .put = PutText<&ProgramState::TlsFingerprint>,
     .check = [](auto&, auto& v) { return Unless(net::NormalizeFingerprint(v),
                                                 "TLS fingerprint must be 64 hex digits"); },
     .inUse = UsesFtps,
     .meaning =
         "FTPS: trust only the server certificate with this SHA-256 fingerprint (64 hex digits, colons "
         "allowed)",
     .group = SettingsGroup::Security, .label = "&Fingerprint:"},
    {.name = "Protocol", .get = GetText<&ProgramState::Protocol>, .put = PutText<&ProgramState::Protocol>,
     .check = [](auto&, auto& v) { return Unless(sftp::ParseSftpProtocol(v), "Protocol takes FTP or SFTP"); },
     .meaning = "FTP (also when empty) or SFTP (SSH file transfer: Host, Port, usually 22, User, Password)",
     .group = SettingsGroup::Security, .kind = FieldKind::Choice, .label = "Pro&tocol:",
     .choices = kProtocolChoices},
    {.name = "SshHostKey", .get = GetText<&ProgramState::SshHostKey>,
     .put = PutText<&ProgramState::SshHostKey>,
     .check = [](auto&, auto& v) { return Unless(sftp::NormalizeHostKeyPin(v),
                                                 "SSH host key must be SHA256: and 43 base64 characters"); },
     .inUse = UsesSftp,
     .meaning =
         "SFTP: trust only the host key with this fingerprint (SHA256:... as ssh-keygen -l prints it); "
         "empty: ~/.ssh/known_hosts decides",
     .group = SettingsGroup::Security, .label = "SSH host &key:"},
    {.name = "SshKeyFile", .get = GetText<&ProgramState::SshKeyFile>,
     .put = PutText<&ProgramState::SshKeyFile>,
     .check = [](const SettingKey&, const std::string& v) -> Problem {
         const std::string file = text::Trim(v);
         if (!file.empty() && !platform::FileExists(file))
             return "SSH key file not found";
         return std::nullopt;
     },
     .inUse = UsesSftp,
     .meaning = "SFTP: log in with this OpenSSH private key (its passphrase is the password); empty: "
                "ssh-agent, else the password",
     .group = SettingsGroup::Security, .kind = FieldKind::Path, .label = "SSH key fi&le:"},
    {.name = "AtomicUpload", .fallback = "0", .get = GetFlag<&ProgramState::AtomicUpload>,
     .put = PutFlag<&ProgramState::AtomicUpload>, .check = OneOrZero,
     .meaning = "FTP: 1 stores the page under a temporary name and renames it over the page; 0 stores it in "
                "place (SFTP always renames)",
     .group = SettingsGroup::Security, .kind = FieldKind::Flag,
     .label = "Upload under a temporary &name, then rename"},
    {.name = "AddressSource", .get = GetText<&ProgramState::AddressSource>,
     .put = PutText<&ProgramState::AddressSource>,
     .check = [](const SettingKey&, const std::string& v) -> Problem {
         if (ParseSourceKind(v) == SourceKind::Unknown)
             return "Unknown AddressSource value";
         return std::nullopt;
     },
     .meaning = "where the address comes from: HostName (also when empty), Interface, Web or UPnP",
     .group = SettingsGroup::Address, .kind = FieldKind::Choice, .label = "S&ource:",
     .choices = kSourceChoices},
    {.name = "AddressInterface", .get = GetText<&ProgramState::AddressInterface>,
     .put = PutText<&ProgramState::AddressInterface>,
     .inUse = [](const ProgramState& s) { return IsSource(s, SourceKind::Interface); },
     .missing = "No address interface",
     .meaning = "Interface source: the network interface whose first IPv4 address is published",
     .group = SettingsGroup::Address, .kind = FieldKind::Interface, .label = "&Interface:"},
    {.name = "AddressURL", .get = GetText<&ProgramState::AddressURL>,
     .put = PutText<&ProgramState::AddressURL>,
     .check = [](const SettingKey&, const std::string& v) { return UrlCheck("Address", v); },
     .inUse = [](const ProgramState& s) { return IsSource(s, SourceKind::Web); },
     .missing = "No address URL",
     .meaning = "Web source: an http:// or https:// page that answers with the address the request came from",
     .group = SettingsGroup::Address, .label = "Web &URL:", .placeholder = "https://"},
    {.name = "AddressPollSeconds", .fallback = "0",
     .get = [](const ProgramState& s) { return CountOrEmpty(s.AddressPollSeconds); },
     .put = [](ProgramState& s, const std::string& v) { s.AddressPollSeconds = text::LenientInteger(v); },
     .check = PollCheck,
     .inUse =
         [](const ProgramState& s) { return IsSource(s, SourceKind::Web) || IsSource(s, SourceKind::UPnP); },
     .meaning =
         "Web and UPnP sources: seconds between questions, 30 to 86400 (empty: 300 web page, 60 router)",
     .group = SettingsGroup::Address, .kind = FieldKind::Number, .label = "&Poll every:",
     .minimum = kMinPollSeconds, .maximum = kMaxPollSeconds, .unit = " s",
     .emptyText = "Default (300 s web page, 60 s router)"},
    {.name = "PublishPrivate", .fallback = "0", .get = GetFlag<&ProgramState::PublishPrivate>,
     .put = PutFlag<&ProgramState::PublishPrivate>, .check = OneOrZero,
     // The host name publishes what it resolves to, whatever its class.
     .inUse = [](const ProgramState& s) { return !IsSource(s, SourceKind::HostName); },
     .meaning =
         "1: publish addresses visitors cannot reach (private, carrier-grade NAT) too; 0: hold them back",
     .group = SettingsGroup::Address, .kind = FieldKind::Flag, .label = "Publish &private addresses"},
    {.name = "AddressFamily", .get = GetText<&ProgramState::AddressFamily>,
     .put = PutText<&ProgramState::AddressFamily>,
     .check = [](auto&, auto& v) { return Unless(ParseAddressFamily(v),
                                                 "AddressFamily takes IPv4, IPv6 or Both"); },
     .meaning =
         "IPv4 (also when empty), IPv6, or Both (IPv4 when it is public, else IPv6); not IPv4: FTP over "
         "IPv6 too",
     .group = SettingsGroup::Address, .kind = FieldKind::Choice, .label = "Addr&ess family:",
     .choices = kFamilyChoices},
    {.name = "IPv6Kind", .get = GetText<&ProgramState::IPv6Kind>, .put = PutText<&ProgramState::IPv6Kind>,
     .check = [](auto&, auto& v) { return Unless(ParseIPv6Kind(v), "IPv6Kind takes stable or temporary"); },
     .inUse =
         [](const ProgramState& s) {
             return ParseAddressFamily(s.AddressFamily).value_or(AddressFamily::IPv4) != AddressFamily::IPv4;
         },
     .meaning =
         "stable (also when empty): a lasting global IPv6 address; temporary: the newest privacy address",
     .group = SettingsGroup::Address, .kind = FieldKind::Choice, .label = "IPv&6 address:",
     .choices = kIPv6KindChoices},
    {.name = "VerifyURL", .get = GetText<&ProgramState::VerifyURL>, .put = PutText<&ProgramState::VerifyURL>,
     .check = [](const SettingKey&, const std::string& v) -> Problem {
         if (auto problem = VerificationProblem(PutText<&ProgramState::VerifyURL>, v))
             return problem;
         return UrlCheck("Verify", v);
     },
     .meaning =
         "where visitors get the page (http:// or https://), fetched after each upload; empty: no check",
     .group = SettingsGroup::Verification, .label = "Page &address:", .placeholder = "http://"},
    {.name = "VerifyMatch", .get = GetText<&ProgramState::VerifyMatch>,
     .put = PutText<&ProgramState::VerifyMatch>,
     .check =
         [](const SettingKey&, const std::string& v) {
             return VerificationProblem(PutText<&ProgramState::VerifyMatch>, v);
         },
     .meaning =
         "Exact (also when empty): the served page is the uploaded one; Contains: the host may wrap it",
     .group = SettingsGroup::Verification, .kind = FieldKind::Choice, .label = "&Match:",
     .choices = kMatchChoices},
    {.name = "RepublishHours", .get = [](const ProgramState& s) { return CountOrEmpty(s.RepublishHours); },
     .put = PutRepublishHours,
     .check = [](const SettingKey&,
                 const std::string& v) { return VerificationProblem(PutRepublishHours, v); },
     .meaning = "publish again after this many hours even without a change, 1 to 8760; empty or 0: never",
     .group = SettingsGroup::Verification, .kind = FieldKind::Number, .label = "&Republish every:",
     .minimum = 1, .maximum = kMaxRepublishHours, .unit = " h", .emptyText = "Off"},
    {.name = "Notify", .fallback = "1",
     .get = GetFlag<&ProgramState::Notify>,
     .put = [](ProgramState& s, const std::string& v) { s.Notify = text::Trim(v).empty() || text::LenientInteger(v) != 0; },
     .check = OneOrZero,
     .meaning = "1 (also when empty): a desktop notification when a publication fails and when it works "
                "again; 0: none"},
    {.name = "PasswordStore", .get = GetText<&ProgramState::PasswordStore>,
     .put = PutText<&ProgramState::PasswordStore>,
     .check = [](auto&, auto& v) { return PasswordStoreProblem(v); },
     .meaning = "where the password (and the SSH key's passphrase) lives: file (also when empty), keyring "
                "(the desktop's Secret Service), or command:CMD whose first line of output is the password",
     .group = SettingsGroup::Security, .kind = FieldKind::Choice, .label = "Pass&word kept in:",
     .choices = kPasswordStoreChoices},
    {.name = "OnPublished", .get = GetText<&ProgramState::OnPublished>,
     .put = PutText<&ProgramState::OnPublished>, .check = HookCheck,
     .meaning = "a command run (without a shell) after each publication that worked, with SIGNPOSTER_ADDRESS "
                "and the other SIGNPOSTER_ variables in its environment; empty: none",
     .group = SettingsGroup::Verification, .label = "After publishing &run:",
     .placeholder = "sh -c 'echo $SIGNPOSTER_ADDRESS >> ~/published.log'"},
    {.name = "OnFailed", .get = GetText<&ProgramState::OnFailed>, .put = PutText<&ProgramState::OnFailed>,
     .check = HookCheck,
     .meaning = "a command run (without a shell) after each publication that failed or was held back, with "
                "SIGNPOSTER_OUTCOME and SIGNPOSTER_MESSAGE in its environment; empty: none",
     .group = SettingsGroup::Verification, .label = "After a &failure run:"},
    {.name = "LastPublished", .owner = KeyOwner::Program,
     .get =
         [](const ProgramState& s) {
             return s.LastPublished ? std::to_string(*s.LastPublished) : std::string();
         },
     .put = [](ProgramState& s, const std::string& v) { s.LastPublished = ParseLastPublished(v); },
     .showing = Showing::Nothing,
     .meaning = "UTC seconds of the last successful publication (written while RepublishHours is set or a "
                "record is kept)"},
    {.name = "LastPublishedPage", .owner = KeyOwner::Program,
     .get = GetText<&ProgramState::LastPublishedPage>, .put = PutText<&ProgramState::LastPublishedPage>,
     .showing = Showing::Nothing, .meaning = "which page was published last: address or offline"},
    {.name = "PendingPublication", .owner = KeyOwner::Program,
     .get = GetText<&ProgramState::PendingPublication>, .put = PutPending, .showing = Showing::Nothing,
     .meaning =
         "a publication that failed and is made again at the next start: 1 the address page, offline the "
         "notice"},
    // The record of the last publication for `signposter-cli status` (core/publication_record.h).
    {.name = "LastOutcome", .owner = KeyOwner::Program, .get = GetText<&ProgramState::LastOutcome>,
     .put = PutText<&ProgramState::LastOutcome>, .showing = Showing::Nothing,
     .meaning = "how the last publication ended: published, failed, or refused (waits for new settings)"},
    {.name = "LastOutcomeTime", .owner = KeyOwner::Program, .get = GetText<&ProgramState::LastOutcomeTime>,
     .put = PutText<&ProgramState::LastOutcomeTime>, .showing = Showing::Nothing,
     .meaning = "UTC seconds of the last publication's end"},
    {.name = "LastOutcomeText", .owner = KeyOwner::Program, .get = GetText<&ProgramState::LastOutcomeText>,
     .put = PutText<&ProgramState::LastOutcomeText>, .showing = Showing::Nothing,
     .meaning = "what the last publication reported"},
    {.name = "LastPublishedAddress", .owner = KeyOwner::Program,
     .get = GetText<&ProgramState::LastPublishedAddress>, .put = PutText<&ProgramState::LastPublishedAddress>,
     .showing = Showing::Nothing,
     .meaning = "the address (or OFFLINE) the last successful publication put on the server"},
    {.name = "NextRetry", .owner = KeyOwner::Program, .get = GetText<&ProgramState::NextRetry>,
     .put = PutText<&ProgramState::NextRetry>, .showing = Showing::Nothing,
     .meaning = "UTC seconds when a running monitor retries the pending publication"},
};
// clang-format on

// Whether two names are a typing slip apart: one letter left out, added, changed, or two swapped.
bool OneSlipApart(std::string_view a, std::string_view b) {
    if (a.size() > b.size())
        std::swap(a, b);
    if (b.size() - a.size() > 1)
        return false;
    std::size_t i = 0;
    while (i < a.size() && a[i] == b[i]) ++i;
    if (a.size() == b.size())
        return a.substr(i + 1) == b.substr(i + 1) || (i + 1 < a.size() && a[i] == b[i + 1] &&
                                                      a[i + 1] == b[i] && a.substr(i + 2) == b.substr(i + 2));
    return a.substr(i) == b.substr(i + 1);
}

// What the window's own fields leave a publication to refuse, as the monitor's validation words it.
std::vector<SettingProblem> FieldProblems(const LiveSettings& fields, const ProgramState& state) {
    std::vector<SettingProblem> problems;
    const bool userTemplate = fields.Checked(Switch::UserTemplate);
    const std::string templateFile = StripQuotes(text::Trim(fields.Text(TextField::TemplateFile)));
    if (userTemplate && !platform::FileExists(templateFile))
        problems.push_back({"Template", "User Template not found: " + text::Printable(templateFile)});
    const int options = int(fields.Checked(Switch::InternalRedirect)) +
                        int(fields.Checked(Switch::InternalNoRedirect)) + int(userTemplate);
    if (options != 1)
        problems.push_back(
            {"InternalYes, InternalNo, UserTemplate",
             options == 0 ? "Please select a template option." : "Please select one template option only."});
    const std::vector<SettingProblem> more = ExtendedSettingsProblems(state);
    problems.insert(problems.end(), more.begin(), more.end());
    return problems;
}

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

const SettingKey* NearestUserKey(std::string_view name) {
    const std::string wanted = text::UpperAscii(name);
    const SettingKey* slip = nullptr;
    for (const SettingKey& key : kKeys) {
        if (key.owner != KeyOwner::User)
            continue;
        const std::string upper = text::UpperAscii(key.name);
        if (upper == wanted)
            return &key;
        if (!slip && OneSlipApart(upper, wanted))
            slip = &key;
    }
    return slip;
}

std::string KeyValue(const SettingKey& key, const LiveSettings& fields, const ProgramState& state) {
    if (key.field)
        return fields.Text(*key.field);
    if (key.flag)
        return fields.Checked(*key.flag) ? "1" : "0";
    return key.get(state);
}

void PutKeyValue(const SettingKey& key, LiveSettings& fields, ProgramState& state, const std::string& text) {
    if (key.put)
        key.put(state, text);
    if (key.field)
        fields.SetText(*key.field, text);
    if (key.flag)
        fields.SetChecked(*key.flag, text::LenientInteger(text) == 1);
}

std::vector<SettingProblem> ExtendedSettingsProblems(const ProgramState& state) {
    std::vector<SettingProblem> problems;
    for (const SettingKey& key : kKeys) {
        if (key.saving != Saving::Never || !key.get || (key.inUse && !key.inUse(state)))
            continue;
        const std::string value = key.get(state);
        if (key.missing && text::Trim(value).empty())
            problems.push_back({key.name, key.missing});
        else if (key.check)
            if (auto problem = key.check(key, value))
                problems.push_back({key.name, *problem});
    }
    return problems;
}

std::optional<std::string> ValueProblem(const SettingKey& key, const std::string& text) {
    // A line break would split the key's line in the file and could forge other keys.
    if (text::HasLineBreak(text))
        return std::string(key.name) + " may not contain a line break";
    return key.check ? key.check(key, text) : std::nullopt;
}

std::vector<SettingProblem> ChangeProblems(const LiveSettings& fields, const ProgramState& state,
                                           const KeyValues& changes) {
    std::vector<SettingProblem> problems;
    PlainLiveSettings beforeFields, afterFields;
    ProgramState scratch;
    for (const SettingKey& key : kKeys) {
        if (key.field || key.flag) {
            PutKeyValue(key, beforeFields, scratch, KeyValue(key, fields, state));
            PutKeyValue(key, afterFields, scratch, KeyValue(key, fields, state));
        }
    }
    ProgramState after = state;
    for (const auto& [name, value] : changes) {
        const SettingKey* key = FindSettingKey(name);
        if (!key)
            continue;
        if (const auto problem = ValueProblem(*key, value))
            problems.push_back({name, *problem});
        PutKeyValue(*key, afterFields, after, value);
    }
    const std::vector<SettingProblem> was = FieldProblems(beforeFields, state);
    for (const SettingProblem& problem : FieldProblems(afterFields, after)) {
        if (std::find(was.begin(), was.end(), problem) == was.end() &&
            std::find(problems.begin(), problems.end(), problem) == problems.end())
            problems.push_back(problem);
    }
    return problems;
}

void ReadAllSettings(LiveSettings& fields, ProgramState& state) {
    for (const SettingKey& key : kKeys) {
        const std::string stored = IniReadString(kSettingsSection, key.name, key.fallback);
        PutKeyValue(key, fields, state, key.fromFile ? key.fromFile(stored) : stored);
    }
}

KeyValues ChangedKeys(const ProgramState& before, const ProgramState& after) {
    KeyValues changed;
    for (const SettingKey& key : kKeys) {
        if (key.owner != KeyOwner::User || key.saving != Saving::Never)
            continue;
        std::string now = key.get(after);
        if (now != key.get(before))
            changed.emplace_back(key.name, std::move(now));
    }
    return changed;
}

void ApplySettingKeys(ProgramState& state, const KeyValues& keys) {
    for (const auto& [name, value] : keys) {
        if (const SettingKey* key = FindSettingKey(name); key && key->put)
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

std::string RemoteFile(const LiveSettings& fields) {
    std::string directory = fields.Text(TextField::RemotePath);
    if (!directory.empty() && directory.front() == '/')
        directory.erase(0, 1);
    return directory + fields.Text(TextField::PageName);
}

std::string RemoteFileNote(const LiveSettings& fields) {
    return "the page goes to " + text::Printable(RemoteFile(fields));
}

std::string RemotePathWarning(const LiveSettings& fields) {
    const std::string path = fields.Text(TextField::RemotePath);
    if (path.empty() || path.back() == '/')
        return {};
    PlainLiveSettings inside;
    inside.SetText(TextField::RemotePath, path + "/");
    inside.SetText(TextField::PageName, fields.Text(TextField::PageName));
    return "RemotePath " + text::Printable(path) +
           " does not end in \"/\": write RemotePath=" + text::Printable(path) + "/ for " +
           text::Printable(RemoteFile(inside));
}

bool PasswordKeptElsewhere(const ProgramState& state) {
    const auto store = ParsePasswordStore(state.PasswordStore);
    return store && store->kind != PasswordStoreKind::File;
}

std::optional<std::string> MovePasswordForChange(const Clock& clock, const LiveSettings& fields,
                                                 const ProgramState& state, const KeyValues& changed) {
    ProgramState after = state;
    ApplySettingKeys(after, changed);
    const auto kind = [](const ProgramState& s) {
        return ParsePasswordStore(s.PasswordStore).value_or(PasswordStoreChoice{}).kind;
    };
    const std::string password = fields.Text(TextField::Password);
    if (kind(after) != PasswordStoreKind::Keyring || kind(state) == PasswordStoreKind::Keyring || password.empty())
        return std::nullopt;
    return MovePasswordToKeyring(clock, StoredPasswordKey(fields, after), password);
}

PasswordKey StoredPasswordKey(const LiveSettings& fields, const ProgramState& state) {
    std::string port = text::Trim(fields.Text(TextField::Port));
    if (port.empty())
        port = "21";
    return {text::Trim(fields.Text(TextField::Host)), port, text::Trim(fields.Text(TextField::User)),
            UsesSftp(state) ? "SFTP" : "FTP"};
}

const SettingKey& PinningKey(const ProgramState& state) {
    return *FindSettingKey(UsesSftp(state) ? "SshHostKey" : "TlsFingerprint");
}

}  // namespace signposter
