#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;

// An FTP server for tests: listens on 127.0.0.1 at a port of the system's choice, answers each command
// from a per-command script (odd codes, multi-line replies, LF-only endings, delays, silence, closing),
// opens data connections for PASV and PORT, and records the exact command lines and the bytes of every
// upload. It serves one control connection at a time, any number in sequence.
namespace signposter::testing {

struct ScriptedReply {
    enum class After { Continue, Close, Silence };
    enum class Data {
        None,     // no data connection
        Receive,  // open the data connection, read it to its end, then send `completion`
        Stall,    // open the data connection and never read from it
    };
    std::string text;  // sent exactly as written, line ends included; may be empty
    int delayMs = 0;   // wait before sending `text`
    After after = After::Continue;
    Data data = Data::None;
    std::string completion = "226 Transfer complete.\r\n";
    // Active mode: connect to the client before sending `text` (the connection waits in its listen queue).
    bool connectBeforeReply = false;
    // With TLS enabled, after a 234 reply: run the handshake, or answer the client's first bytes in clear.
    enum class Tls { Handshake, AnswerInClear };
    Tls tls = Tls::Handshake;
    // With TLS enabled and "PROT P" received, on this store's data connection: the handshake with the
    // server's certificate, plain bytes instead, or the handshake with the other certificate.
    enum class DataTls { Handshake, Garbage, OtherCertificate };
    DataTls dataTls = DataTls::Handshake;
};

// Shorthands for the common replies.
ScriptedReply Say(std::string text, int delayMs = 0);
ScriptedReply SayThenClose(std::string text);
ScriptedReply Silence();
ScriptedReply AcceptUpload(std::string preliminary = "150 Opening data connection.\r\n",
                           std::string completion = "226 Transfer complete.\r\n");

// A port on 127.0.0.1 that nothing listens on (bound for a moment, then released).
int ClosedLoopbackPort();
// Whether ::1 can be bound here (IPv6 may be off in a container).
bool IPv6LoopbackAvailable();

class ScriptedFtpServer {
public:
    // `host`: 127.0.0.1, or ::1 for the IPv6 commands (EPSV 229 "(|||port|)", EPRT 200).
    explicit ScriptedFtpServer(const std::string& host = "127.0.0.1");
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    int Port() const { return m_port; }

    // Speaks TLS after a 234 reply (AUTH answers 234 once this is set) and, after "PROT P", on data
    // connections once their preliminary reply is sent. Commands() then records the decrypted lines.
    void EnableTls(const std::string& certFile, const std::string& keyFile, const std::string& otherCertFile = "",
                   const std::string& otherKeyFile = "");
    // Data connections whose TLS handshake resumed the control connection's session.
    int ResumedDataConnections() const;

    void SetGreeting(ScriptedReply greeting);
    // Replies for a command word (compared without regard to case, e.g. "USER"), used in order; the last
    // one repeats. In a PASV reply "{p1}" and "{p2}" stand for the two bytes of the data port. Defaults:
    // USER 331, PASS 230, TYPE 200, SYST 215, PASV 227 (127,0,0,1), PORT 200, STOR/APPE/STOU accept the
    // upload with 150 and 226, anything else 502.
    void Script(const std::string& verb, std::vector<ScriptedReply> replies);
    void Script(const std::string& verb, ScriptedReply reply) {
        Script(verb, std::vector<ScriptedReply>{reply});
    }

    // Command lines in arrival order, without their line end.
    std::vector<std::string> Commands() const;
    // Every byte received on the control connections.
    std::string ControlBytes() const;
    // The bytes of each data connection that was read to its end.
    std::vector<std::string> Uploads() const;
    int ControlConnections() const;
    int DataConnections() const;
    // Waits (bounded) until the client has closed the current control connection.
    bool WaitUntilIdle(int timeoutMs = 5000) const;

private:
    void Serve();
    void Session(int control);
    bool Handle(int control, const std::string& line, int& dataListener, std::string& activeAddress,
                int& activePort, std::vector<int>& stalled);
    bool Reply(int control, const ScriptedReply& reply);
    ScriptedReply Next(const std::string& verb);
    int OpenDataConnection(int control, int& dataListener, const std::string& activeAddress, int activePort);
    void SendControl(int control, const std::string& bytes);
    bool StartControlTls(int control, const ScriptedReply& reply);
    // Reads a data connection to its end (through TLS when it runs); false when its handshake failed.
    bool ReceiveData(int data, const ScriptedReply& reply, std::string& received);

    std::string m_host;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_busy{false};
    mutable std::mutex m_mutex;
    ScriptedReply m_greeting;
    std::map<std::string, std::vector<ScriptedReply>> m_scripts;
    std::map<std::string, std::size_t> m_used;
    std::vector<std::string> m_commands;
    std::string m_controlBytes;
    std::vector<std::string> m_uploads;
    int m_controlConnections = 0;
    int m_dataConnections = 0;
    std::thread m_thread;
    ssl_ctx_st* m_tls = nullptr;
    ssl_ctx_st* m_otherTls = nullptr;
    ssl_st* m_controlTls = nullptr;  // the current session's, once its handshake is done
    bool m_protectData = false;       // "PROT P" seen in the current session
    int m_resumed = 0;
};

}  // namespace signposter::testing
