#pragma once

#include <functional>
#include <string>

#include "core/failure_text.h"
#include "core/server_check.h"

namespace signposter {

class PublishingCore;

// One upload or certificate probe made outside the monitor, exactly as the publisher would make it, for
// the command line's `upload` and `tls-fingerprint`.

// Reports every line of the coming sessions to `line`, without its line end and with network text escaped:
// "-- " status and SSH steps, "> " commands sent, "< " replies, and the TLS handshakes. The argument of the
// password command is shown as stars; nothing else is hidden (SSH steps never hold the password or
// passphrase).
void TraceSessions(PublishingCore& core, std::function<void(const std::string&)> line);

// Configures the client from the loaded settings, reads `localFile` whole (before anything is sent: what
// cannot be read whole must not cost the server its copy) and stores it as `remoteName` over FTP, FTPS or
// SFTP. Raises the clients' and the file primitives' exceptions.
void UploadOnce(PublishingCore& core, const std::string& localFile, const std::string& remoteName);

// A failure of UploadOnce as the publisher keeps one, with `sentence` made: what the user reads.
AttemptFailure DescribeUploadFailure(PublishingCore& core, const std::exception& error,
                                     const std::string& remoteName);

// ProbeServer with the FTP client the fields configure; the connection is closed when it fails.
CheckReport ProbeConfiguredServer(PublishingCore& core, const std::string& trustFile);

// The password command's line with its argument as stars; any other line as it is.
std::string MaskPasswordCommand(const std::string& sentLine);

}  // namespace signposter
