#pragma once

#include <string>

#include "net/id_tcp_connection.h"

namespace signposter::net {

// Proxy settings. This system never uses a proxy; the record exists so data connections can take the
// control connection's settings over as they are.
struct TIdSocksInfo {
    int version = 0;  // 0: no proxy
};

// A connection that connects out to Host and Port.
class TIdTCPClient : public TIdTCPConnection {
public:
    explicit TIdTCPClient(TIdComponent* owner = nullptr);

    const std::string& BoundIP() const { return m_boundIP; }
    void SetBoundIP(const std::string& address) { m_boundIP = address; }
    const std::string& Host() const { return m_host; }
    void SetHost(const std::string& host) { m_host = host; }
    int Port() const { return m_port; }
    void SetPort(int port) { m_port = port; }
    const TNotifyEvent& OnConnected() const { return m_onConnected; }
    void SetOnConnected(TNotifyEvent handler) { m_onConnected = std::move(handler); }
    const TIdSocksInfo& SocksInfo() const { return m_socksInfo; }
    void SetSocksInfo(const TIdSocksInfo& info) { m_socksInfo = info; }
    bool UseNagle() const { return true; }
    // Longest wait for the connect to complete; reaching it raises EIdSocketError 10060.
    int ConnectTimeout() const { return m_connectTimeout; }
    void SetConnectTimeout(int milliseconds) { m_connectTimeout = milliseconds; }

    // Whether a host name or IPv6 literal may be reached over IPv6, trying the resolver's addresses in
    // order; off, only IPv4 is asked for and used.
    bool IPv6Allowed() const { return m_ipv6Allowed; }
    void SetIPv6Allowed(bool allowed) { m_ipv6Allowed = allowed; }

    virtual void NotifyConnected();
    virtual void ConnectToHost();

private:
    std::string m_boundIP;
    std::string m_host;
    TNotifyEvent m_onConnected;
    int m_port = 0;
    TIdSocksInfo m_socksInfo;
    int m_connectTimeout = kDefaultTimeout;
    bool m_ipv6Allowed = false;

    void ConnectToAnyAddress();
};

}  // namespace signposter::net
