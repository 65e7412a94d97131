#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/address_discovery.h"
#include "core/clock.h"
#include "core/live_settings.h"
#include "core/program_state.h"

namespace signposter {

namespace ftp {
class TIdFTP;
}

// The one-off checks of the settings against the network, shared by the settings dialog and
// `signposter-cli tls-fingerprint`, `address` and `verify`. Each waits only on the clock it is given, so a
// stop request ends it.

// What a check found; network text in `text` is already escaped.
struct CheckReport {
    bool ok = false;
    std::string text;
    std::string
        fingerprint;  // the server check: the certificate's SHA-256 as shown, for "trust this certificate"
};

// Connects with `client` (host, port and clock set), starts TLS and reads the server's certificate without
// trusting it and without sending the user name. The report holds one "Label: value" line per field.
// Raises the client's exceptions, with the connection closed.
CheckReport ProbeServer(ftp::TIdFTP& client, const std::string& trustFile);
// The same with a client of the program's defaults for `host` and the text of the Port field. A missing
// host or a port that is no number from 1 to 65535 is reported without connecting. What went wrong is told
// in words (core/failure_text.h), and a server of plain FTP only is described by its greeting.
CheckReport CheckServer(const std::string& host, const std::string& portText, const std::string& trustFile,
                        const Clock& clock, bool ipv6Allowed = false);

// The SSH server's host key for SFTP, read after the key exchange without trusting it and without logging
// in: "Label: value" lines (host, key type, fingerprint, what known_hosts says, and the pin `pinned`
// compared with it, or how to pin it); `fingerprint` is the key's "SHA256:...", for "trust this key". ok
// when the pin or known_hosts accepts the key. A missing host or a port that is no number from 1 to 65535
// is reported without connecting (empty port text: 22).
// `ipv6Allowed`: the server may be reached over IPv6, as publications do with an AddressFamily other
// than IPv4 (ReachesServerOverIPv6).
// Whether the settings let publications reach the server over IPv6.
bool ReachesServerOverIPv6(const ProgramState& state);

CheckReport CheckSshServer(const std::string& host, const std::string& portText, const std::string& pinned,
                           const Clock& clock, bool ipv6Allowed = false);

// Asks the address source that `state` describes once: "ADDRESS: class" and whether visitors can reach it,
// or why there is no address. `stopped` ends a router question.
CheckReport CheckAddress(ProgramState state, HostLookup& lookup, const Clock& clock,
                         std::function<bool()> stopped);

// The page a publication would upload now (reads the fields: call it where they live); nothing when the
// user template is missing.
std::optional<std::string> PageToVerify(const LiveSettings& fields, ProgramState& state);
// Fetches state.VerifyURL once and compares it with `page`.
CheckReport CheckPage(const ProgramState& state, const std::string& page, const Clock& clock);
// The validation messages of the verification keys alone, for `verify` and the dialog's page check.
std::vector<std::string> VerificationProblems(const ProgramState& state);

// Whether the settings publish over SFTP (a Protocol that is neither is not; validation names it).
bool ChoosesSftp(const ProgramState& state);

}  // namespace signposter
