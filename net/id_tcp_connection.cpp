#include "net/id_tcp_connection.h"

#include <algorithm>
#include <climits>

#include "net/id_exceptions.h"
#include "platform/text.h"

namespace signposter::net {

namespace {

TIdStack& Stack() {
    return *SharedStack();
}

}  // namespace

TIdTCPConnection::TIdTCPConnection(TIdComponent* owner)
    : TIdComponent(owner), m_receiveArea(static_cast<std::size_t>(kRecvBufferSize)) {}

TIdTCPConnection::~TIdTCPConnection() = default;

std::string TIdTCPConnection::LastReplyText() const {
    return m_lastReplyLines.empty() ? std::string() : m_lastReplyLines.back();
}

void TIdTCPConnection::NotifyDisconnected() {
    if (m_onDisconnected)
        m_onDisconnected(this);
}

void TIdTCPConnection::ResetState() {
    m_socket.Clear(true);
    m_inputBuffer.clear();
    m_peerClosed = false;
    m_lastCommandVerb.clear();
}

void TIdTCPConnection::CheckPeerClosed(bool raise, bool ignoreInput) {
    if (!m_peerClosed && Stream().IsOpen())
        return;
    if (Stream().IsOpen())
        DropConnection();
    if ((m_inputBuffer.empty() || ignoreInput) && raise) {
        throw EIdConnClosedGracefully(kMsgConnectionClosedGracefully);
    }
}

int TIdTCPConnection::CheckReplyCode(int code, const std::vector<int>& expected) {
    if (!expected.empty() && std::find(expected.begin(), expected.end(), code) == expected.end()) {
        RaiseReplyError();
    }
    return code;
}

bool TIdTCPConnection::IsConnected() {
    CheckPeerClosed(false, false);
    return Stream().IsOpen();
}

void TIdTCPConnection::CloseConnection() {
    DropConnection();
}

void TIdTCPConnection::DropConnection() {
    if (!Stream().IsOpen())
        return;
    NotifyStatus(TIdStatus::Disconnecting, Stream().RemoteAddress());
    Stream().Close(true);
    m_peerClosed = true;
    NotifyStatus(TIdStatus::Disconnected, Stream().RemoteAddress());
    NotifyDisconnected();
}

std::string TIdTCPConnection::TakeInput(int count) {
    if (count < 0 || static_cast<std::size_t>(count) > m_inputBuffer.size()) {
        throw EIdNotEnoughDataInBuffer(kMsgNotEnoughDataInBuffer);
    }
    std::string taken = m_inputBuffer.substr(0, static_cast<std::size_t>(count));
    DropInput(count);
    return taken;
}

void TIdTCPConnection::DropInput(int count) {
    m_inputBuffer.erase(0, static_cast<std::size_t>(std::max(count, 0)));
    Progress(TWorkMode::Read, count);
}

int TIdTCPConnection::FillInput(bool raiseIfClosed, int timeoutMs) {
    CheckPeerClosed(raiseIfClosed, false);
    if (!IsConnected())
        return 0;
    if (!Stream().WaitReadable(timeoutMs))
        return 0;
    int n = Stream().ReceiveBytes(m_receiveArea.data(), kRecvBufferSize);
    m_peerClosed = n == 0;
    if (n != 0 && Stack().CheckSocketResult(n, {kWsaEShutdown})) {
        n = 0;
        if (Stream().IsOpen())
            DropConnection();
        if (m_inputBuffer.empty())
            TIdStack::RaiseSocketFailure(kWsaEShutdown);
    }
    if (n > 0)
        m_inputBuffer.append(m_receiveArea.data(), static_cast<std::size_t>(n));
    CheckPeerClosed(raiseIfClosed, false);
    return n;
}

std::string TIdTCPConnection::ReadLine(const std::string& terminator, int timeoutMs) {
    const std::string t = terminator.empty() ? std::string("\n") : terminator;
    // With the default terminator a CR may sit before the LF and is not part of the line.
    const std::size_t slack = terminator.empty() ? 1 : t.size() - 1;
    m_lineTimedOut = false;
    std::size_t searchFrom = 0;
    std::size_t found = std::string::npos;
    const std::int64_t deadline = Clock().DeadlineAfter(timeoutMs);
    for (;;) {
        found = m_inputBuffer.find(t, searchFrom);
        if (found != std::string::npos)
            break;
        if (m_inputBuffer.size() > static_cast<std::size_t>(kMaxLineLength) + slack) {
            DropConnection();
            throw EIdReplyTooLarge("Reply line longer than " + std::to_string(kMaxLineLength) + " bytes.");
        }
        // Only new bytes can complete the terminator; a partial one may straddle the old end.
        searchFrom = m_inputBuffer.size() >= t.size() ? m_inputBuffer.size() - t.size() + 1 : 0;
        CheckPeerClosed(true, true);
        m_lineTimedOut = FillInput(true, timeoutMs < 0 ? timeoutMs : Clock().MillisecondsLeft(deadline)) == 0;
        if (m_lineTimedOut)
            return "";
    }
    std::string line = TakeInput(static_cast<int>(found + t.size()));
    line.resize(found);
    if (terminator.empty() && !line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > static_cast<std::size_t>(kMaxLineLength)) {
        DropConnection();
        throw EIdReplyTooLarge("Reply line longer than " + std::to_string(kMaxLineLength) + " bytes.");
    }
    if (m_trace)
        m_trace(TraceDirection::Received, line);
    return line;
}

std::string TIdTCPConnection::ReadNonBlankLine() {
    int linesRead = 0;
    return ReadNonBlankLineUntil(Clock().DeadlineAfter(m_replyTimeout), linesRead);
}

std::string TIdTCPConnection::ReadNonBlankLineUntil(std::int64_t deadline, int& linesRead) {
    for (;;) {
        if (linesRead >= kMaxReplyLines) {
            DropConnection();
            throw EIdReplyTooLarge("Reply longer than " + std::to_string(kMaxReplyLines) + " lines.");
        }
        const std::string line = ReadLine("", Clock().MillisecondsLeft(deadline));
        if (m_lineTimedOut) {
            // A read can also come back empty because the peer closed with a partial line buffered;
            // the next round reports that. Only the passed deadline is a time-out.
            if (Clock().Passed(deadline)) {
                DropConnection();
                throw EIdReplyTimeout("No reply from the server within " + std::to_string(m_replyTimeout) +
                                      " ms.");
            }
            continue;
        }
        ++linesRead;
        std::string trimmed = text::Trim(line);
        if (!trimmed.empty())
            return trimmed;
    }
}

int TIdTCPConnection::ReadReply(const std::vector<int>& expected) {
    m_lastReplyLines.clear();
    // One bound for the whole reply: a server trickling one line at a time must not stretch it.
    const std::int64_t deadline = Clock().DeadlineAfter(m_replyTimeout);
    int linesRead = 0;
    m_lastReplyLines.push_back(ReadNonBlankLineUntil(deadline, linesRead));
    const std::string& first = m_lastReplyLines.front();
    if (first.size() > 3 && first[3] == '-') {
        // Only the code followed by a space ends the reply; "220-" lines and text lines continue it.
        const std::string endMarker = text::UpperAscii(first.substr(0, 3) + " ");
        for (;;) {
            m_lastReplyLines.push_back(ReadNonBlankLineUntil(deadline, linesRead));
            const std::string& line = m_lastReplyLines.back();
            if (line.size() < 4 || text::UpperAscii(line.substr(0, 4)) == endMarker)
                break;
        }
    }
    const std::string last = LastReplyText();
    if (text::UpperAscii(last.substr(0, 3)) == "+OK") {
        m_lastReplyCode = 1;
    } else if (text::UpperAscii(last.substr(0, 4)) == "-ERR") {
        m_lastReplyCode = 0;
    } else {
        m_lastReplyCode = text::TryStrictInteger(last.substr(0, 3)).value_or(0);
    }
    return CheckReplyCode(m_lastReplyCode, expected);
}

void TIdTCPConnection::RaiseReplyError() {
    throw EIdProtocolReplyError(m_lastReplyCode, LastReplyText());
}

int TIdTCPConnection::SendCommand(const std::string& text, const std::vector<int>& expected) {
    WriteLine(text);
    return ReadReply(expected);
}

int TIdTCPConnection::SendCommand(const std::string& text, int expectedCode) {
    return SendCommand(text, expectedCode == -1 ? std::vector<int>{} : std::vector<int>{expectedCode});
}

void TIdTCPConnection::WriteText(const std::string& text) {
    if (!text.empty())
        WriteBytes(text.data(), static_cast<int>(text.size()));
}

void RefuseLineBreaks(const std::string& value) {
    if (text::HasLineBreak(value))
        throw EIdInvalidCommand("Command refused before sending: it contains a line break.");
}

void TIdTCPConnection::WriteLine(const std::string& text) {
    RefuseLineBreaks(text);
    m_lastCommandVerb = text::UpperAscii(text.substr(0, text.find(' ')));
    if (m_trace)
        m_trace(TraceDirection::Sent, text);
    WriteText(text + "\r\n");
}

void TIdTCPConnection::WriteBytes(const char* data, int count) {
    if (count <= 0 || data == nullptr)
        return;
    CheckPeerClosed(true, true);
    int next = 0;
    // The send's bound counts from the last byte that moved: a rate window that ended with enough moved
    // must not grant a stalled peer a fresh bound on top of the time it has already stood still.
    std::int64_t lastMoved = Clock().TickCount();
    while (next < count) {
        const std::int64_t sendDeadline =
            m_sendTimeout < 0 ? platform::kNoDeadline : lastMoved + m_sendTimeout;
        std::int64_t deadline = sendDeadline;
        if (m_rateWindow && (deadline == platform::kNoDeadline || m_rateWindow->end < deadline))
            deadline = m_rateWindow->end;
        const int n = Stream().SendBytes(data + next, count - next, Clock().MillisecondsLeft(deadline));
        m_peerClosed = n == 0;
        CheckPeerClosed(true, false);
        if (n == -1) {
            const int code = Stack().LastError();
            if (code == kWsaETimedOut && deadline != sendDeadline) {
                CheckRateWindow();  // the window ended first: raises when too little moved in it
                continue;           // enough moved: the send goes on, within what is left of its bound
            }
            // A peer that has gone, one that stopped taking bytes for the whole send bound, or a wait
            // ended by a stop request or the session's bound: the stream is of no further use.
            if (code == kWsaEShutdown || code == kWsaETimedOut || code == kWsaECancelled ||
                code == kIdSessionExpired)
                DropConnection();
            TIdStack::RaiseSocketFailure(code);
        }
        Progress(TWorkMode::Write, n);
        next += n;
        if (n > 0)
            lastMoved = Clock().TickCount();
        if (m_rateWindow) {
            m_rateWindow->bytes += n;
            CheckRateWindow();
        }
    }
}

void TIdTCPConnection::CheckRateWindow() {
    if (!m_rateWindow || !Clock().Passed(m_rateWindow->end))
        return;
    if (m_rateWindow->bytes < kMinBytesPerWindow) {
        DropConnection();
        throw EIdDataTooSlow("Data connection too slow.");
    }
    m_rateWindow = RateWindow{Clock().DeadlineAfter(kRateWindowMs), 0};
}

void TIdTCPConnection::SendStream(std::istream& stream, bool fromStart) {
    if (fromStart) {
        stream.clear();
        stream.seekg(0);
    }
    const std::istream::pos_type start = stream.tellg();
    stream.seekg(0, std::ios::end);
    const std::istream::pos_type end = stream.tellg();
    stream.seekg(start);
    // Sending from a stream whose size cannot be known would upload an unknown part of it.
    if (start == std::istream::pos_type(-1) || end == std::istream::pos_type(-1) || !stream) {
        throw EIdNoDataToRead(kMsgNoDataToRead);
    }
    std::int64_t left = static_cast<std::int64_t>(end - start);
    BeginProgress(TWorkMode::Write, static_cast<std::int32_t>(std::min<std::int64_t>(left, INT32_MAX)));
    struct EndGuard {
        TIdTCPConnection* connection;
        ~EndGuard() { connection->EndProgress(TWorkMode::Write); }
    } endGuard{this};
    m_rateWindow = RateWindow{Clock().DeadlineAfter(kRateWindowMs), 0};
    struct RateGuard {
        std::optional<RateWindow>& window;
        ~RateGuard() { window.reset(); }
    } rateGuard{m_rateWindow};
    std::vector<char> chunk(static_cast<std::size_t>(std::max(m_sendBufferSize, 1)));
    while (left > 0) {
        const std::int64_t want = std::min<std::int64_t>(left, static_cast<std::int64_t>(chunk.size()));
        stream.read(chunk.data(), static_cast<std::streamsize>(want));
        const std::streamsize got = stream.gcount();
        if (got <= 0)
            throw EIdNoDataToRead(kMsgNoDataToRead);
        WriteBytes(chunk.data(), static_cast<int>(got));
        left -= got;
    }
}

}  // namespace signposter::net
