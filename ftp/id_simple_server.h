#pragma once

#include <string>

#include "ftp/net_floor.h"
#include "net/id_tcp_connection.h"

namespace signposter::ftp {

// A listener for exactly one incoming connection: the server's data connection in active mode.
class TIdSimpleServer : public TIdTCPConnection {
public:
    explicit TIdSimpleServer(TIdComponent* owner = nullptr);
    ~TIdSimpleServer() override;

    bool StopRequested() const { return m_stopRequested; }
    // Length of each wait on the listening socket; 0 or less waits out the rest of AcceptTimeout() at
    // once, so that nothing spins while the server takes its time.
    int AcceptPollTime() const { return m_acceptPollTime; }
    void SetAcceptPollTime(int milliseconds) { m_acceptPollTime = milliseconds; }
    // Longest wait for the connection; WaitForConnection answers false when it is reached.
    int AcceptTimeout() const { return m_acceptTimeout; }
    void SetAcceptTimeout(int milliseconds) { m_acceptTimeout = milliseconds; }
    const std::string& BoundIP() const { return m_boundIP; }
    void SetBoundIP(const std::string& address) { m_boundIP = address; }
    int BoundPort() const { return m_boundPort; }
    void SetBoundPort(int port) { m_boundPort = port; }
    TIdSocket ListeningSocket() const { return m_listeningSocket; }
    bool IsListening() const { return m_isListening; }

    virtual void RequestStop();
    virtual void PrepareListener();
    virtual void BindListener();
    // True when a connection was accepted; false when a stop was requested or AcceptTimeout() passed.
    virtual bool WaitForConnection();
    void ResetState() override;

private:
    bool m_stopRequested = false;
    int m_acceptPollTime = 0;
    int m_acceptTimeout = kDefaultTimeout;
    std::string m_boundIP;
    int m_boundPort = 0;
    TIdSocket m_listeningSocket = kInvalidSocket;
    bool m_isListening = false;
};

}  // namespace signposter::ftp
