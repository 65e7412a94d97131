#include "net/id_socket_handle.h"

#include "net/id_exceptions.h"

namespace signposter::net {

TIdSocketHandle::TIdSocketHandle() = default;

TIdSocketHandle::~TIdSocketHandle() {
    Close(true);
}

void TIdSocketHandle::OpenSocket(int type, int protocol, TIdIPVersion version) {
    Close(true);
    m_socketId = m_stack.Stack().CreateSocket(type, protocol, version);
    m_version = version;
    m_isOpen = true;
}

void TIdSocketHandle::BindLocal() {
    TIdStack& stack = m_stack.Stack();
    TIdIPAddress address;
    address.version = m_version;
    if (!m_localAddress.empty())
        address = TIdStack::TextToIPAddress(m_localAddress);
    if (stack.CheckSocketResult(stack.Bind(m_socketId, address, m_port), {kWsaEAddrInUse})) {
        throw EIdCouldNotBindSocket(kMsgCouldNotBindSocket);
    }
    RefreshLocal();
}

void TIdSocketHandle::SetRemote(const std::string& address, int port) {
    m_remoteAddress = address;
    m_remotePort = port;
}

int TIdSocketHandle::ConnectRemote(int timeoutMs) {
    const TIdIPAddress address = TIdStack::TextToIPAddress(m_remoteAddress);
    const int result = m_stack.Stack().Connect(m_socketId, address, m_remotePort, timeoutMs, *m_clock);
    if (result != -1) {
        RefreshLocal();
        RefreshRemote();
    }
    return result;
}

void TIdSocketHandle::StartListening(int backlog) {
    TIdStack& stack = m_stack.Stack();
    stack.CheckSocketResult(stack.Listen(m_socketId, backlog));
}

void TIdSocketHandle::AcceptFrom(TIdSocket listeningSocket) {
    TIdStack& stack = m_stack.Stack();
    const TIdSocket accepted = stack.Accept(listeningSocket);
    stack.CheckSocketResult(accepted);
    m_socketId = accepted;
    m_isOpen = true;
    RefreshLocal();
    RefreshRemote();
}

int TIdSocketHandle::SendBytes(const char* data, int count, int timeoutMs) {
    if (ThroughTls())
        return m_tls->SendBytes(data, count, timeoutMs);
    return m_stack.Stack().Send(m_socketId, data, count, timeoutMs, *m_clock);
}

int TIdSocketHandle::ReceiveBytes(char* area, int size) {
    if (ThroughTls())
        return m_tls->ReceiveBytes(area, size);
    return m_stack.Stack().Receive(m_socketId, area, size);
}

bool TIdSocketHandle::WaitReadable(int timeoutMs) {
    if (!m_isOpen)
        throw EIdConnClosedGracefully(kMsgConnectionClosedGracefully);
    if (ThroughTls())
        return m_tls->WaitReadable(timeoutMs);
    TIdStack& stack = m_stack.Stack();
    const int ready = stack.WaitForReadable({m_socketId}, timeoutMs, *m_clock);
    // A failed wait is no "nothing yet": taking it for one would spin until the deadline.
    if (ready < 0)
        TIdStack::RaiseSocketFailure(stack.LastError());
    return ready == 1;
}

void TIdSocketHandle::Close(bool resetLocal) {
    if (!m_isOpen)
        return;
    if (m_tls)
        m_tls->Close();
    m_isOpen = false;
    TIdStack& stack = m_stack.Stack();
    stack.Shutdown(m_socketId, 1);
    stack.CloseSocket(m_socketId);
    Clear(resetLocal);
}

void TIdSocketHandle::Clear(bool resetLocal) {
    m_tls.reset();
    m_isOpen = false;
    m_socketId = kInvalidSocket;
    if (resetLocal) {
        m_localAddress.clear();
        m_port = 0;
    }
    m_remoteAddress.clear();
    m_remotePort = 0;
}

void TIdSocketHandle::StartTls(const TlsContext& context, const std::string& peerName,
                               const TlsSession& resume, const std::string& sameAs, int timeoutMs) {
    m_tls = std::make_unique<TlsChannel>(*this);
    m_tls->Handshake(context, peerName, resume, sameAs, timeoutMs);
}

void TIdSocketHandle::RefreshLocal() {
    TIdStack& stack = m_stack.Stack();
    TIdIPAddress address;
    int port = 0;
    stack.CheckSocketResult(stack.LocalName(m_socketId, address, port));
    m_localAddress = TIdStack::IPAddressToText(address);
    m_port = port;
}

void TIdSocketHandle::RefreshRemote() {
    TIdStack& stack = m_stack.Stack();
    TIdIPAddress address;
    int port = 0;
    stack.CheckSocketResult(stack.PeerName(m_socketId, address, port));
    m_remoteAddress = TIdStack::IPAddressToText(address);
    m_remotePort = port;
}

}  // namespace signposter::net
