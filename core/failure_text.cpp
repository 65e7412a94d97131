#include "core/failure_text.h"

#include "net/id_exceptions.h"
#include "platform/exceptions.h"
#include "platform/text.h"
#include "sftp/sftp_exceptions.h"

namespace signposter {

namespace {

// SFTP status codes (draft-ietf-secsh-filexfer-02): the page's directory is missing, or not ours.
constexpr unsigned kFxNoSuchFile = 2;
constexpr unsigned kFxPermissionDenied = 3;

// The socket layer's texts start with a capital and end with a full stop; inside a sentence they do not.
std::string AsClause(std::string text) {
    text = text::Trim(text);
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' &&
        !(text.size() > 1 && text[1] >= 'A' && text[1] <= 'Z'))
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

// A sentence ends with one full stop, also after a server's reply that has one of its own.
std::string Sentence(std::string text) {
    text = text::Printable(text::OneLine(text::Trim(text)));
    if (!text.empty() && text.back() != '.' && text.back() != '!' && text.back() != '?')
        text += '.';
    return text;
}

// "Socket Error # 10061\r\nConnection refused." carries its words after the line break; the number stays
// for --verbose.
std::string SocketWords(const std::string& message) {
    const std::size_t lineEnd = message.find('\n');
    if (message.rfind("Socket Error # ", 0) == 0)
        return lineEnd == std::string::npos ? std::string() : AsClause(message.substr(lineEnd + 1));
    return AsClause(message);
}

// "No reply from the server within 30000 ms." gives "30 s"; another text gives nothing.
std::string WaitedSeconds(const std::string& message) {
    const std::size_t within = message.find("within ");
    if (within == std::string::npos)
        return {};
    std::size_t digits = within + 7;
    std::int64_t value = 0;
    while (digits < message.size() && message[digits] >= '0' && message[digits] <= '9' &&
           value < 1'000'000'000)
        value = value * 10 + (message[digits++] - '0');
    if (digits == within + 7)
        return {};
    if (message.compare(digits, 3, " ms") == 0)
        return std::to_string((value + 999) / 1000) + " s";
    return std::to_string(value) + " s";
}

// The words in parentheses at the end of a message, such as SFTP's "(key exchange)".
std::string TrailingParenthesis(const std::string& message) {
    const std::size_t open = message.rfind(" (");
    const std::size_t close = message.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return {};
    return message.substr(open, close - open + 1);
}

std::string Directory(const std::string& remoteName) {
    const std::size_t slash = remoteName.rfind('/');
    return slash == std::string::npos ? std::string() : remoteName.substr(0, slash + 1);
}

bool SaysPermission(const std::string& reply) {
    const std::string upper = text::UpperAscii(reply);
    return text::Contains(upper, "PERMISSION") || text::Contains(upper, "DENIED") ||
           text::Contains(upper, "NOT ALLOWED");
}

std::string PathSentence(const AttemptFailure& failure, const FailureSubject& subject) {
    const std::string reply = text::Printable(text::OneLine(failure.message));
    const std::string& file = subject.remoteName;
    if (failure.replyCode == 553)
        return Sentence("The server refused the file name " + file + ": " + reply);
    if (SaysPermission(failure.message))
        return Sentence("The server refused to write " + file + ": " + reply);
    const std::string directory = Directory(file);
    if (!directory.empty())
        return Sentence("The server has no directory " + directory + " for " + file + ": " + reply);
    return Sentence("The server refused to store " + file + ": " + reply);
}

// What the server was asked when it fell silent or closed: its greeting, or a command word.
std::string Asked(const AttemptFailure& failure) {
    return failure.command.empty() ? std::string("the greeting") : failure.command;
}

}  // namespace

FailureKind ClassifyFailure(const std::exception& error) {
    if (const auto* reply = dynamic_cast<const net::EIdProtocolReplyError*>(&error)) {
        // Our own refusals of a malformed reply carry the code they refused; only a server's own verdict
        // on the login or the path is lasting.
        switch (reply->ReplyCode()) {
            case 530:
                return FailureKind::LoginRefused;
            case 550:
            case 553:
                return FailureKind::PathRefused;
            default:
                return FailureKind::Transient;
        }
    }
    if (dynamic_cast<const net::EIdTLSCertificateRejected*>(&error) ||
        dynamic_cast<const sftp::ESshHostKeyRejected*>(&error))
        return FailureKind::IdentityRejected;
    if (dynamic_cast<const sftp::ESshAuthenticationFailed*>(&error))
        return FailureKind::LoginRefused;
    if (const auto* status = dynamic_cast<const sftp::ESftpStatusError*>(&error)) {
        if (status->StatusCode() == kFxNoSuchFile || status->StatusCode() == kFxPermissionDenied)
            return FailureKind::PathRefused;
    }
    return FailureKind::Transient;
}

AttemptFailure CaptureFailure(const std::exception& error, std::string command) {
    AttemptFailure failure;
    if (const auto* own = dynamic_cast<const Exception*>(&error)) {
        failure.errorClass = own->ClassName();
        failure.message = own->Message();
    } else {
        failure.errorClass = "Exception";
        failure.message = error.what();
    }
    if (const auto* reply = dynamic_cast<const net::EIdProtocolReplyError*>(&error))
        failure.replyCode = reply->ReplyCode();
    if (const auto* socket = dynamic_cast<const net::EIdSocketError*>(&error))
        failure.errorNumber = socket->ErrorNumber();
    failure.command = std::move(command);
    failure.kind = ClassifyFailure(error);
    return failure;
}

std::string DescribeFailure(const AttemptFailure& failure, const FailureSubject& subject) {
    // An empty host is a setting not yet made, as the window's validation names it.
    if (text::Trim(subject.host).empty())
        return "No Host Name";
    const std::string host = text::Printable(subject.host);
    const std::string where = host + " port " + std::to_string(subject.port);
    const std::string& message = failure.message;
    const std::string& cls = failure.errorClass;
    const std::string reply = text::Printable(text::OneLine(message));
    // Local matters (a setting that is no number, a file that cannot be read, a trust file): their messages
    // already name the value or file, and no server was involved.
    if (cls == "EConvertError" || cls == "EFOpenError" || cls == "EFCreateError" ||
        cls == "EIdTLSLibraryError")
        return Sentence(Capitalised(reply));

    if (failure.kind == FailureKind::LoginRefused && failure.replyCode != 0)
        return Sentence("The server refused the login for user " + text::Printable(subject.user) + ": " +
                        reply);
    if (failure.kind == FailureKind::PathRefused && failure.replyCode != 0)
        return PathSentence(failure, subject);
    if (cls == "EIdProtocolReplyError") {
        if (failure.command.empty())
            return Sentence("The server at " + where + " refused the connection: " + reply);
        return Sentence("The server at " + where + " refused " + failure.command + ": " + reply);
    }
    if (cls == "EIdSocketError") {
        const std::string lookup = "Host name lookup failed for ";
        if (message.rfind(lookup, 0) == 0) {
            const std::size_t colon = message.find(": ", lookup.size());
            const std::string why = colon == std::string::npos ? std::string() : message.substr(colon + 2);
            return Sentence("Could not find the host " + host + (why.empty() ? "" : ": " + AsClause(why)));
        }
        const std::string words = SocketWords(message);
        if (message.rfind("Socket Error # ", 0) != 0)
            return Sentence(Capitalised(words));  // already a sentence of ours, naming what it concerns
        if (failure.command.empty())
            return Sentence("Could not connect to " + where + (words.empty() ? "" : ": " + words));
        return Sentence("The connection to " + where + " failed after " + failure.command +
                        (words.empty() ? "" : ": " + words));
    }
    if (cls == "EIdReplyTimeout") {
        const std::string seconds = WaitedSeconds(message);
        const std::string within = seconds.empty() ? " in time" : " within " + seconds;
        if (failure.command.empty() && !TrailingParenthesis(message).empty())
            return Sentence("The server at " + where + " did not answer" + within +
                            TrailingParenthesis(message));
        if (failure.command.empty())
            return Sentence("The server at " + where + " sent no greeting" + within);
        return Sentence("The server at " + where + " did not answer " + failure.command + within);
    }
    if (cls == "EIdConnClosedGracefully")
        return Sentence("The server at " + where + " closed the connection while we waited for " +
                        Asked(failure));
    if (cls == "EIdAttemptTimeout")
        return Sentence("The upload to " + where + " was given up: " + AsClause(message));
    if (cls == "EIdStopped")
        return "Stopped: the program is ending.";
    if (failure.kind == FailureKind::IdentityRejected && cls.rfind("EIdTLS", 0) == 0)
        return Sentence("The server at " + where + " is not the one trusted: " + AsClause(message));
    if (failure.kind == FailureKind::LoginRefused)
        return Sentence("The server at " + where + " refused the login for user " +
                        text::Printable(subject.user) + ": " + AsClause(message));
    // SSH and the remaining bounds already say what happened in words; they get the host when they lack it.
    if (cls.rfind("ESsh", 0) == 0 || cls.rfind("ESftp", 0) == 0)
        return Sentence(Capitalised(reply));
    return Sentence("Could not upload " + subject.remoteName + " to " + where + ": " + AsClause(message));
}

}  // namespace signposter
