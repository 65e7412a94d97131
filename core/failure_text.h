#pragma once

#include <exception>
#include <string>

namespace signposter {

// Whether another attempt could help. A refused login or path, and a server that is not the one trusted,
// fail the same way until the settings change; repeating them only counts failed logins against the
// account, which intrusion filters punish by locking the user out.
enum class FailureKind {
    Transient,         // connect, name look-up, time-outs, 421 and other 4xx, a dropped connection
    LoginRefused,      // 530; SSH authentication refused
    PathRefused,       // 550 or 553; SFTP: no such directory, permission denied
    IdentityRejected,  // a TLS certificate or an SSH host key that does not match what is trusted
};

// The one place that decides, from the exception's class and reply code.
FailureKind ClassifyFailure(const std::exception& error);
inline bool IsPermanent(FailureKind kind) {
    return kind != FailureKind::Transient;
}

// One failed attempt as it is kept: the raw class and message (for --verbose), what the sentence needs,
// and the kind.
struct AttemptFailure {
    std::string errorClass;  // "Exception" for anything outside the program's own family
    std::string message;
    int replyCode = 0;    // the server's reply code, when a reply ended the attempt
    int errorNumber = 0;  // the socket layer's code, when a socket call failed
    // The command word last sent on the control connection ("USER", "STOR"), empty before any: what a
    // silent or closing server was asked.
    std::string command;
    FailureKind kind = FailureKind::Transient;
    std::string sentence;  // DescribeFailure's, where the caller had it made
};

AttemptFailure CaptureFailure(const std::exception& error, std::string command = {});

// What an attempt was about, as the client was given it.
struct FailureSubject {
    std::string host;
    int port = 0;
    std::string user;
    std::string remoteName;  // where the page goes on the server
};

// The failure in one sentence that names what it concerns (host and port, user or remote file) and says
// the cause in words: "Could not connect to 127.0.0.1 port 2121: connection refused." Network text in it
// is made printable; no class name and no socket error number.
std::string DescribeFailure(const AttemptFailure& failure, const FailureSubject& subject);

}  // namespace signposter
