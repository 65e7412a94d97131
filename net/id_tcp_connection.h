#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "net/byte_stream.h"
#include "net/id_component.h"
#include "net/id_socket_handle.h"

namespace signposter::net {

// Raises EIdInvalidCommand for a text holding CR or LF: user names, passwords and remote names come from
// the settings and must not smuggle in further commands.
void RefuseLineBreaks(const std::string& value);

// Which way a traced line went: a command line sent, or a reply line received.
enum class TraceDirection { Sent, Received };
using TraceHandler = std::function<void(TraceDirection direction, const std::string& line)>;

// A byte stream over one socket: buffered input cut into lines, numbered replies checked against the
// expected codes, command lines and whole streams written.
class TIdTCPConnection : public TIdComponent {
public:
    static constexpr int kRecvBufferSize = 32768;
    static constexpr int kDefaultSendBufferSize = 32768;
    static constexpr int kDefaultTimeout = 30000;
    // A reply line is a status text; anything this long is a broken or hostile server, and without a
    // limit it would grow the input buffer until memory runs out.
    static constexpr int kMaxLineLength = 8192;
    // Lines (blank ones included) read for one reply, for the same reason.
    static constexpr int kMaxReplyLines = 1000;
    // The floor of a data transfer's rate: less than this many bytes in any window of this length fails it.
    // Each single send may take the whole send bound, so without a floor a peer that reads a few bytes just
    // inside every bound could hold a transfer for as long as the file lasts.
    static constexpr std::int64_t kMinBytesPerWindow = 30 * 1024;  // 1 KiB/s
    static constexpr int kRateWindowMs = 30000;

    explicit TIdTCPConnection(TIdComponent* owner = nullptr);
    ~TIdTCPConnection() override;

    // The clock the connection's deadlines and its socket's waits are measured on (the machine's unless
    // set); a connection made for a transfer takes its owner's.
    const platform::Clock& Clock() const { return m_socket.Clock(); }
    virtual void SetClock(const platform::Clock& clock) { m_socket.SetClock(clock); }

    TIdSocketHandle& Socket() { return m_socket; }
    const TIdSocketHandle& Socket() const { return m_socket; }
    const std::string& InputBuffer() const { return m_inputBuffer; }
    bool PeerClosed() const { return m_peerClosed; }
    const std::vector<std::string>& LastReplyLines() const { return m_lastReplyLines; }
    std::string LastReplyText() const;
    int LastReplyCode() const { return m_lastReplyCode; }
    // The command word of the last line written since the connection was made ("USER", "STOR"), never its
    // argument; empty while the greeting is awaited. A failure's message says what it waited for.
    const std::string& LastCommandVerb() const { return m_lastCommandVerb; }
    bool LineTimedOut() const { return m_lineTimedOut; }
    int RecvBufferSize() const { return kRecvBufferSize; }
    int SendBufferSize() const { return m_sendBufferSize; }
    void SetSendBufferSize(int size) { m_sendBufferSize = size; }
    const TNotifyEvent& OnDisconnected() const { return m_onDisconnected; }
    void SetOnDisconnected(TNotifyEvent handler) { m_onDisconnected = std::move(handler); }

    // Longest wait for one whole reply, in milliseconds; reaching it raises EIdReplyTimeout and drops
    // the connection.
    int ReplyTimeout() const { return m_replyTimeout; }
    void SetReplyTimeout(int milliseconds) { m_replyTimeout = milliseconds; }
    // Longest wait for the peer to take more bytes; reaching it raises EIdSocketError 10060 and drops
    // the connection.
    int SendTimeout() const { return m_sendTimeout; }
    void SetSendTimeout(int milliseconds) { m_sendTimeout = milliseconds; }

    // Sees every command line written and every line read, without line ends.
    void SetTraceHandler(TraceHandler handler) { m_trace = std::move(handler); }
    const TraceHandler& Trace() const { return m_trace; }

    // Reads and writes through another stream than the socket (nullptr: the socket again). The stream
    // stays the caller's; tests and fuzzers drive the reader with it.
    void AttachByteStream(ByteStream* stream) { m_stream = stream ? stream : &m_socket; }

    virtual void NotifyDisconnected();
    virtual void ResetState();
    virtual void CheckPeerClosed(bool raise, bool ignoreInput);
    // An empty list accepts any code.
    virtual int CheckReplyCode(int code, const std::vector<int>& expected);
    virtual bool IsConnected();
    virtual void CloseConnection();
    virtual void DropConnection();
    virtual std::string TakeInput(int count);
    virtual int ReadReply(const std::vector<int>& expected);
    [[noreturn]] virtual void RaiseReplyError();
    // Bytes received, 0 for none within timeoutMs (kNoTimeLimit for no limit).
    virtual int FillInput(bool raiseIfClosed, int timeoutMs);
    // An empty terminator means LF, with one CR before it removed. Returns "" with LineTimedOut() set
    // when nothing ended the line within timeoutMs.
    virtual std::string ReadLine(const std::string& terminator, int timeoutMs);
    virtual void DropInput(int count);
    virtual int SendCommand(const std::string& text, const std::vector<int>& expected);
    // One expected code; -1 accepts any.
    int SendCommand(const std::string& text, int expectedCode);
    virtual void WriteText(const std::string& text);
    // Refuses, with EIdInvalidCommand and before sending anything, a text holding CR or LF: user names,
    // passwords and remote names come from the settings and must not smuggle in further commands.
    virtual void WriteLine(const std::string& text);
    void WriteBytes(const char* data, int count);
    // Sends a stream's bytes, at no less than the floor rate (kMinBytesPerWindow per kRateWindowMs).
    virtual void SendStream(std::istream& stream, bool fromStart);

    // Trimmed, never empty; bounded by ReplyTimeout().
    std::string ReadNonBlankLine();

protected:
    ByteStream& Stream() { return *m_stream; }
    std::string ReadNonBlankLineUntil(std::int64_t deadline, int& linesRead);

private:
    TIdSocketHandle m_socket;
    ByteStream* m_stream = &m_socket;
    std::string m_inputBuffer;
    bool m_peerClosed = false;
    std::vector<std::string> m_lastReplyLines;
    TNotifyEvent m_onDisconnected;
    bool m_lineTimedOut = false;
    std::vector<char> m_receiveArea;
    int m_lastReplyCode = 0;
    std::string m_lastCommandVerb;
    int m_sendBufferSize = kDefaultSendBufferSize;
    int m_replyTimeout = kDefaultTimeout;
    int m_sendTimeout = kDefaultTimeout;
    TraceHandler m_trace;
    // While a stream is sent: the window the floor rate is measured over.
    struct RateWindow {
        std::int64_t end = 0;
        std::int64_t bytes = 0;
    };
    std::optional<RateWindow> m_rateWindow;
    void CheckRateWindow();
};

// Closes a connection when its scope is left by an exception. A failure while closing is swallowed: the
// first failure is the one worth reporting, and closing cannot add anything useful.
class CloseOnFailure {
public:
    explicit CloseOnFailure(TIdTCPConnection& connection)
        : m_connection(connection), m_exceptions(std::uncaught_exceptions()) {}
    ~CloseOnFailure() {
        if (std::uncaught_exceptions() <= m_exceptions)
            return;
        try {
            m_connection.CloseConnection();
        } catch (...) {
        }
    }
    CloseOnFailure(const CloseOnFailure&) = delete;
    CloseOnFailure& operator=(const CloseOnFailure&) = delete;

private:
    TIdTCPConnection& m_connection;
    int m_exceptions;
};

}  // namespace signposter::net
