#pragma once

#include <cstdio>
#include <string>

#include "ftp/tls_settings.h"

namespace signposter::cli {

// The lines `upload --verbose` prints after a handshake: protocol and cipher, certificate, what accepted
// it, and for a data connection whether the session was resumed.
void PrintTlsHandshake(std::FILE* out, const ftp::TlsPeerInfo& info, bool dataConnection);

}  // namespace signposter::cli
