#pragma once

#include <cstdio>
#include <string>

#include "ftp/tls_settings.h"

namespace signposter::cli {

// A text from the network or a certificate made safe for a terminal: control bytes become \xNN.
std::string Printable(const std::string& text);
// The lines `upload --verbose` prints after a handshake: protocol and cipher, certificate, what accepted
// it, and for a data connection whether the session was resumed.
void PrintTlsHandshake(std::FILE* out, const ftp::TlsPeerInfo& info, bool dataConnection);

}  // namespace signposter::cli
