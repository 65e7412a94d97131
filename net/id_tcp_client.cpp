#include "net/id_tcp_client.h"

#include <optional>

#include "net/id_exceptions.h"
#include "platform/text.h"

namespace signposter::net {

TIdTCPClient::TIdTCPClient(TIdComponent* owner) : TIdTCPConnection(owner) {}

void TIdTCPClient::NotifyConnected() {
    if (m_onConnected)
        m_onConnected(this);
}

void TIdTCPClient::ConnectToHost() {
    if (Socket().IsOpen())
        throw EIdAlreadyConnected(kMsgAlreadyConnected);
    ResetState();
    if (m_ipv6Allowed) {
        ConnectToAnyAddress();
        NotifyStatus(TIdStatus::Connected, Socket().RemoteAddress());
        NotifyConnected();
        return;
    }
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
        stack.CheckSocketResult(Socket().ConnectRemote(m_connectTimeout));
    }
    NotifyStatus(TIdStatus::Connected, Socket().RemoteAddress());
    NotifyConnected();
}

void TIdTCPClient::ConnectToAnyAddress() {
    TIdStack& stack = *SharedStack();
    if (!TIdStack::IsDottedQuad(m_host) && !TIdStack::IPv6Literal(m_host))
        NotifyStatus(TIdStatus::Resolving, m_host);
    const std::vector<std::string> addresses =
        stack.LookupHostAddresses(m_host, Socket().Clock(), m_connectTimeout);
    // A bound address decides the family: only the resolver's addresses of that family can be reached.
    const bool boundV6 = m_boundIP.find(':') != std::string::npos;
    std::optional<EIdSocketError> lastFailure;
    for (const std::string& address : addresses) {
        const bool v6 = address.find(':') != std::string::npos;
        if (!m_boundIP.empty() && v6 != boundV6)
            continue;
        Socket().OpenSocket(1, 0, v6 ? TIdIPVersion::Id_IPv6 : TIdIPVersion::Id_IPv4);
        CloseOnFailure closer(*this);
        Socket().SetLocalAddress(m_boundIP);
        Socket().BindLocal();
        Socket().SetRemote(address, m_port);
        NotifyStatus(TIdStatus::Connecting, Socket().RemoteAddress());
        if (Socket().ConnectRemote(m_connectTimeout) != -1)
            return;
        // The next address may answer; the stop request and the session's bound end the tries.
        const int code = stack.LastError();
        if (code == kWsaECancelled || code == kIdSessionExpired)
            TIdStack::RaiseSocketFailure(code);
        try {
            TIdStack::RaiseSocketFailure(code);
        } catch (const EIdSocketError& failure) {
            lastFailure = failure;
        }
        Socket().Close(true);
    }
    if (lastFailure)
        throw *lastFailure;
    throw EIdSocketError(kWsaNoData, "Host name lookup failed for " + text::Printable(m_host) +
                                         ": no address of the bound address's family");
}

}  // namespace signposter::net
