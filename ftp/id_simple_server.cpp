#include "ftp/id_simple_server.h"

#include <algorithm>

#include "net/id_exceptions.h"

namespace signposter::ftp {

TIdSimpleServer::TIdSimpleServer(TIdComponent* owner) : TIdTCPConnection(owner) {}

TIdSimpleServer::~TIdSimpleServer() {
    // The handle closes its own socket; a listening socket it no longer holds is ours to close.
    if (m_listeningSocket != kInvalidSocket && m_listeningSocket != Socket().SocketId()) {
        SharedStack()->CloseSocket(m_listeningSocket);
    }
}

void TIdSimpleServer::ResetState() {
    TIdTCPConnection::ResetState();
    m_stopRequested = false;
    m_isListening = false;
}

void TIdSimpleServer::RequestStop() {
    m_stopRequested = true;
}

void TIdSimpleServer::BindListener() {
    try {
        Socket().OpenSocket(
            1, 0, m_boundIP.find(':') != std::string::npos ? TIdIPVersion::Id_IPv6 : TIdIPVersion::Id_IPv4);
        m_listeningSocket = Socket().SocketId();
        Socket().SetLocalAddress(m_boundIP);
        Socket().SetPort(m_boundPort);
        Socket().BindLocal();
    } catch (...) {
        m_listeningSocket = kInvalidSocket;
        throw;
    }
}

void TIdSimpleServer::PrepareListener() {
    ResetState();
    if (m_listeningSocket == kInvalidSocket)
        BindListener();
    Socket().StartListening(1);
    m_isListening = true;
}

bool TIdSimpleServer::WaitForConnection() {
    if (!m_isListening)
        PrepareListener();
    const std::int64_t deadline = Clock().DeadlineAfter(m_acceptTimeout);
    bool ready = false;
    while (!m_stopRequested && !ready) {
        int wait = Clock().MillisecondsLeft(deadline);
        if (m_acceptPollTime > 0 && (wait < 0 || m_acceptPollTime < wait))
            wait = m_acceptPollTime;
        if (Socket().WaitReadable(wait)) {
            try {
                Socket().AcceptFrom(m_listeningSocket);
                ready = true;
            } catch (const EIdSocketError& e) {
                // The pending connection went away between the wait and the accept: keep waiting.
                if (e.ErrorNumber() != 10035 && e.ErrorNumber() != 10053 && e.ErrorNumber() != 10054)
                    throw;
            }
        }
        if (!ready && Clock().Passed(deadline))
            break;
    }
    if (ready) {
        SharedStack()->CloseSocket(m_listeningSocket);
    } else {
        // The handle still holds the listening socket: close it there, once, so that a later close
        // cannot hit a descriptor number the system has handed out again.
        Socket().Close(true);
    }
    m_listeningSocket = kInvalidSocket;
    m_isListening = false;
    return ready;
}

}  // namespace signposter::ftp
