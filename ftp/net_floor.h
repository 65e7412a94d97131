#pragma once

#include "net/id_exceptions.h"

// The FTP client is built on net/: the socket layer, the TLS channel and the exception family are its own
// vocabulary, and callers name them through the client (ftp::EIdReplyTimeout) as they always have.
namespace signposter::ftp {
using namespace net;
}  // namespace signposter::ftp
