#pragma once

#include "net/id_exceptions.h"

// SFTP failures. Each one the user can act on has its own class, so that a wrong password, a host that is
// not the one pinned and a full disk read differently. The waits' bounds and the stop request raise the
// network floor's classes (EIdReplyTimeout, EIdAttemptTimeout, EIdDataTooSlow, EIdStopped, EIdSocketError),
// as the FTP client does: the same bounds, the same words.
namespace signposter::sftp {

using net::EIdException;
SIGNPOSTER_EXCEPTION_CLASS(ESshError, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(ESshHandshakeFailed, ESshError);            // key exchange or transport broke
SIGNPOSTER_EXCEPTION_CLASS(ESshHostKeyRejected, ESshError);            // unknown host key, nothing pinned
SIGNPOSTER_EXCEPTION_CLASS(ESshHostKeyMismatch, ESshHostKeyRejected);  // pinned or known key differs
SIGNPOSTER_EXCEPTION_CLASS(ESshAuthenticationFailed, ESshError);       // "Authentication failed for USER"
SIGNPOSTER_EXCEPTION_CLASS(ESshKeyFileError, ESshError);    // SshKeyFile unreadable or wrong passphrase
SIGNPOSTER_EXCEPTION_CLASS(ESftpNoSubsystem, ESshError);    // the server offers no SFTP
SIGNPOSTER_EXCEPTION_CLASS(ESftpProtocolError, ESshError);  // a malformed or unexpected SFTP packet

// A request the server answered with a failure status; StatusCode is the SFTP status (SSH_FX_*).
class ESftpStatusError : public ESshError {
public:
    ESftpStatusError(unsigned statusCode, std::string message)
        : ESshError(std::move(message)), m_statusCode(statusCode) {}
    const char* ClassName() const noexcept override { return "ESftpStatusError"; }
    unsigned StatusCode() const noexcept { return m_statusCode; }

private:
    unsigned m_statusCode;
};

class ESftpPermissionDenied : public ESftpStatusError {
public:
    using ESftpStatusError::ESftpStatusError;
    const char* ClassName() const noexcept override { return "ESftpPermissionDenied"; }
};

class ESftpDiskFull : public ESftpStatusError {
public:
    using ESftpStatusError::ESftpStatusError;
    const char* ClassName() const noexcept override { return "ESftpDiskFull"; }
};

}  // namespace signposter::sftp
