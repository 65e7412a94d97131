#include "ftp/id_tcp_client.h"

#include "ftp/id_exceptions.h"

namespace signposter::ftp {

TIdTCPClient::TIdTCPClient(TIdComponent* owner) : TIdTCPConnection(owner) {}

void TIdTCPClient::NotifyConnected() {
    if (m_onConnected)
        m_onConnected(this);
}

void TIdTCPClient::ConnectToHost() {
    if (Socket().IsOpen())
        throw EIdAlreadyConnected(kMsgAlreadyConnected);
    ResetState();
    Socket().OpenSocket(1, 0);
    {
        CloseOnFailure closer(*this);
        TIdStack& stack = *SharedStack();
        Socket().SetLocalAddress(m_boundIP);
        Socket().BindLocal();
        if (!TIdStack::IsDottedQuad(m_host))
            NotifyStatus(TIdStatus::Resolving, m_host);
        // The look-up is bounded like the connect it belongs to, and on the same clock.
        Socket().SetRemote(stack.LookupHost(m_host, Socket().Clock(), m_connectTimeout), m_port);
        NotifyStatus(TIdStatus::Connecting, Socket().RemoteAddress());
        stack.CheckSocketResult(Socket().ConnectRemote(2, m_connectTimeout));
    }
    NotifyStatus(TIdStatus::Connected, Socket().RemoteAddress());
    NotifyConnected();
}

}  // namespace signposter::ftp
