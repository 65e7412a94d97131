#pragma once

#include <string>

#include "platform/exceptions.h"

// The exception family of the network floor, shared by the FTP and SFTP clients. Each class reports its
// own name through ClassName(), which is what the command-line front end prints and what the publisher's
// retries never look at.
namespace signposter::net {

SIGNPOSTER_EXCEPTION_CLASS(EIdException, Exception);
SIGNPOSTER_EXCEPTION_CLASS(EIdAlreadyConnected, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(EIdSilentException, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(EIdConnClosedGracefully, EIdSilentException);
SIGNPOSTER_EXCEPTION_CLASS(EIdInvalidSocket, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(EIdStackError, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(EIdStackInitializationFailed, EIdStackError);
SIGNPOSTER_EXCEPTION_CLASS(EIdStackSetSizeExceeded, EIdStackError);
// Kept for completeness of the family: the sockets library is linked directly, so nothing raises it.
SIGNPOSTER_EXCEPTION_CLASS(EIdStackCanNotLoadWinsock, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(EIdSocketHandleError, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(EIdCouldNotBindSocket, EIdSocketHandleError);
SIGNPOSTER_EXCEPTION_CLASS(EIdTCPConnectionError, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(EIdNotEnoughDataInBuffer, EIdTCPConnectionError);
SIGNPOSTER_EXCEPTION_CLASS(EIdNoDataToRead, EIdTCPConnectionError);

// Our additions. The program's only thread waits on the network and the publisher counts on every failed
// attempt ending in an exception, so each bounded wait and each refused input has a class of its own.
SIGNPOSTER_EXCEPTION_CLASS(EIdReplyTimeout, EIdTCPConnectionError);    // no complete reply in time
SIGNPOSTER_EXCEPTION_CLASS(EIdReplyTooLarge, EIdTCPConnectionError);   // line or line count over the limit
SIGNPOSTER_EXCEPTION_CLASS(EIdInvalidCommand, EIdTCPConnectionError);  // CR or LF inside a command line
SIGNPOSTER_EXCEPTION_CLASS(EIdAcceptTimeout, EIdSocketHandleError);    // server never opened the data link
SIGNPOSTER_EXCEPTION_CLASS(EIdStopped, EIdException);                  // the program is ending: "Stopped."
SIGNPOSTER_EXCEPTION_CLASS(EIdAttemptTimeout, EIdTCPConnectionError);  // a whole session over its bound
SIGNPOSTER_EXCEPTION_CLASS(EIdDataTooSlow, EIdTCPConnectionError);     // data moving under the floor rate

// A reply whose code is not among the expected ones; the message is the reply's last line.
class EIdProtocolReplyError : public EIdException {
public:
    EIdProtocolReplyError(int replyCode, std::string message)
        : EIdException(std::move(message)), m_replyCode(replyCode) {}
    const char* ClassName() const noexcept override { return "EIdProtocolReplyError"; }
    int ReplyCode() const noexcept { return m_replyCode; }

private:
    int m_replyCode;
};

// A failing socket call; ErrorNumber is the Windows Sockets code the platform error was mapped onto.
class EIdSocketError : public EIdException {
public:
    EIdSocketError(int errorNumber, std::string message)
        : EIdException(std::move(message)), m_errorNumber(errorNumber) {}
    const char* ClassName() const noexcept override { return "EIdSocketError"; }
    int ErrorNumber() const noexcept { return m_errorNumber; }

private:
    int m_errorNumber;
};

// TLS (explicit FTPS). Handshake and certificate failures each have their own class so that a user can
// tell a broken server from one that is not the server they meant.
SIGNPOSTER_EXCEPTION_CLASS(EIdTLSError, EIdException);
SIGNPOSTER_EXCEPTION_CLASS(EIdTLSLibraryError, EIdTLSError);     // context or trust file unusable
SIGNPOSTER_EXCEPTION_CLASS(EIdTLSHandshakeFailed, EIdTLSError);  // any handshake failure but the certificate

// The chain or the name check failed; VerifyResult is OpenSSL's verify code.
class EIdTLSCertificateRejected : public EIdTLSError {
public:
    EIdTLSCertificateRejected(long verifyResult, std::string message)
        : EIdTLSError(std::move(message)), m_verifyResult(verifyResult) {}
    const char* ClassName() const noexcept override { return "EIdTLSCertificateRejected"; }
    long VerifyResult() const noexcept { return m_verifyResult; }

private:
    long m_verifyResult;
};

// The leaf certificate is not the pinned one, or a data connection presents another than the control's.
class EIdTLSFingerprintMismatch : public EIdTLSCertificateRejected {
public:
    using EIdTLSCertificateRejected::EIdTLSCertificateRejected;
    const char* ClassName() const noexcept override { return "EIdTLSFingerprintMismatch"; }
};

inline constexpr char kMsgAlreadyConnected[] = "Already connected.";
inline constexpr char kMsgConnectionClosedGracefully[] = "Connection Closed Gracefully.";
inline constexpr char kMsgCannotAllocateSocket[] = "Cannot allocate socket.";
inline constexpr char kMsgWinsockInitializationError[] = "Winsock Initialization Error.";
inline constexpr char kMsgSetSizeExceeded[] = "Set Size Exceeded.";
inline constexpr char kMsgCannotLoadSocketsLibrary[] = "wsock32.dll could not be loaded.";
inline constexpr char kMsgCouldNotBindSocket[] =
    "Could not bind socket. Address and port are already in use.";
inline constexpr char kMsgNotEnoughDataInBuffer[] = "Not enough data in buffer.";
inline constexpr char kMsgNoDataToRead[] = "No data to read.";

}  // namespace signposter::net
