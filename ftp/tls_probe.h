#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ftp/net_floor.h"
#include "net/tls_settings.h"

namespace signposter::ftp {

class TIdFTP;

// Connects with `client` (host, port and clock already set), reads the greeting, sends AUTH TLS and runs
// the handshake without checking the certificate, then closes without sending the user name: a look at the
// server's certificate before the user decides to trust it. The store's verdict is in storeVerdict; the
// trust file, when given, counts as part of the store. Failures raise the client's exceptions, with the
// connection closed.
TlsPeerInfo ProbeServerCertificate(TIdFTP& client, const std::string& trustFile);

// What the probe shows, as label and value, in the order a user reads them. The values come from the
// certificate: escape them before a terminal or a widget sees them.
std::vector<std::pair<std::string, std::string>> CertificateFields(const TlsPeerInfo& info);

}  // namespace signposter::ftp
