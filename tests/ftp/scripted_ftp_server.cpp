#include "scripted_ftp_server.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace signposter::testing {

int ClosedLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length);
    ::close(s);
    return ntohs(sa.sin_port);
}

bool IPv6LoopbackAvailable() {
    const int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(s);
    return bound;
}

namespace {

using Clock = std::chrono::steady_clock;

// Every wait of the server is cut into short slices so that the destructor can stop it promptly.
constexpr int kSliceMs = 20;
// No test transfers more than this; a data connection open longer is a fault of the client.
constexpr int kDataTimeoutMs = 15000;

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
}

// `host` is a numeric loopback address of either family; the port of the system's choice goes to `port`.
int ListenOnLoopback(int& port, const std::string& host = "127.0.0.1") {
    sockaddr_storage sa{};
    socklen_t length = 0;
    if (host.find(':') != std::string::npos) {
        auto& sa6 = reinterpret_cast<sockaddr_in6&>(sa);
        sa6.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, host.c_str(), &sa6.sin6_addr);
        length = sizeof sa6;
    } else {
        auto& sa4 = reinterpret_cast<sockaddr_in&>(sa);
        sa4.sin_family = AF_INET;
        ::inet_pton(AF_INET, host.c_str(), &sa4.sin_addr);
        length = sizeof sa4;
    }
    const int s = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw std::runtime_error("scripted server: socket failed");
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), length) != 0 || ::listen(s, 8) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        ::close(s);
        throw std::runtime_error("scripted server: cannot listen on " + host);
    }
    port = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(sa).sin6_port
                                          : reinterpret_cast<sockaddr_in&>(sa).sin_port);
    return s;
}

// Waits for one of the events on fd; false when stop was set or the time ran out.
bool WaitFor(int fd, short events, int timeoutMs, const std::atomic<bool>& stop) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!stop) {
        pollfd pfd{fd, events, 0};
        const int ready = ::poll(&pfd, 1, kSliceMs);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
        if (timeoutMs >= 0 && Clock::now() >= end)
            return false;
    }
    return false;
}

// Waits for a client to connect to the data listener; gives up when the client closes its control
// connection instead (it will never come) or the data time-out passes.
bool WaitForConnectionOrHangUp(int listener, int control, const std::atomic<bool>& stop) {
    const auto end = Clock::now() + std::chrono::milliseconds(kDataTimeoutMs);
    while (!stop && Clock::now() < end) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {control, POLLRDHUP, 0}};
        const int ready = ::poll(fds, 2, kSliceMs);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            return true;
        if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR))
            return false;
    }
    return false;
}

void SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

// A handshake with a client that never takes part must not hold the server thread for longer than this.
constexpr int kHandshakeTimeoutMs = 5000;

void SetReceiveTimeout(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

SSL_CTX* ServerContext(const std::string& certFile, const std::string& keyFile) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        throw std::runtime_error("scripted server: cannot load " + certFile);
    }
    return ctx;
}

// The server's side of a handshake on a blocking socket; nullptr when it fails.
SSL* Accept(SSL_CTX* ctx, int fd) {
    SetReceiveTimeout(fd, kHandshakeTimeoutMs);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        return nullptr;
    }
    SetReceiveTimeout(fd, 0);
    return ssl;
}

void Pause(int ms, const std::atomic<bool>& stop) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 5)));
}

}  // namespace

ScriptedReply Say(std::string text, int delayMs) {
    ScriptedReply reply;
    reply.text = std::move(text);
    reply.delayMs = delayMs;
    return reply;
}

ScriptedReply SayThenClose(std::string text) {
    ScriptedReply reply = Say(std::move(text));
    reply.after = ScriptedReply::After::Close;
    return reply;
}

ScriptedReply Silence() {
    ScriptedReply reply;
    reply.after = ScriptedReply::After::Silence;
    return reply;
}

ScriptedReply AcceptUpload(std::string preliminary, std::string completion) {
    ScriptedReply reply = Say(std::move(preliminary));
    reply.data = ScriptedReply::Data::Receive;
    reply.completion = std::move(completion);
    return reply;
}

ScriptedFtpServer::ScriptedFtpServer(const std::string& host) : m_host(host) {
    m_greeting = Say("220 Scripted server ready.\r\n");
    m_scripts["USER"] = {Say("331 Password required.\r\n")};
    m_scripts["PASS"] = {Say("230 Logged in.\r\n")};
    m_scripts["TYPE"] = {Say("200 Type set.\r\n")};
    m_scripts["SYST"] = {Say("215 UNIX Type: L8\r\n")};
    m_scripts["PASV"] = {Say("227 Entering Passive Mode (127,0,0,1,{p1},{p2}).\r\n")};
    m_scripts["PORT"] = {Say("200 PORT command successful.\r\n")};
    m_scripts["EPSV"] = {Say("229 Entering Extended Passive Mode (|||{port}|)\r\n")};
    m_scripts["EPRT"] = {Say("200 EPRT command successful.\r\n")};
    m_scripts["STOR"] = {AcceptUpload()};
    m_scripts["APPE"] = {AcceptUpload()};
    m_scripts["STOU"] = {AcceptUpload("150 FILE: unique.htm\r\n")};
    m_listener = ListenOnLoopback(m_port, m_host);
    m_thread = std::thread([this] { Serve(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_listener);
    SSL_CTX_free(m_tls);
    SSL_CTX_free(m_otherTls);
}

void ScriptedFtpServer::EnableTls(const std::string& certFile, const std::string& keyFile,
                                  const std::string& otherCertFile, const std::string& otherKeyFile) {
    std::lock_guard lock(m_mutex);
    m_tls = ServerContext(certFile, keyFile);
    if (!otherCertFile.empty())
        m_otherTls = ServerContext(otherCertFile, otherKeyFile);
    if (m_scripts.find("AUTH") == m_scripts.end())
        m_scripts["AUTH"] = {Say("234 Proceed with negotiation.\r\n")};
    m_scripts.try_emplace("PBSZ", std::vector<ScriptedReply>{Say("200 PBSZ=0\r\n")});
    m_scripts.try_emplace("PROT", std::vector<ScriptedReply>{Say("200 Protection level set to P\r\n")});
}

int ScriptedFtpServer::ResumedDataConnections() const {
    std::lock_guard lock(m_mutex);
    return m_resumed;
}

void ScriptedFtpServer::SendControl(int control, const std::string& bytes) {
    if (m_controlTls == nullptr)
        return SendAll(control, bytes);
    if (!bytes.empty())
        SSL_write(m_controlTls, bytes.data(), static_cast<int>(bytes.size()));
}

bool ScriptedFtpServer::StartControlTls(int control, const ScriptedReply& reply) {
    if (reply.tls == ScriptedReply::Tls::AnswerInClear) {
        // The client's ClientHello, answered as if nothing had been agreed.
        char buffer[4096];
        if (WaitFor(control, POLLIN, kHandshakeTimeoutMs, m_stop))
            ::recv(control, buffer, sizeof buffer, 0);
        SendAll(control, "500 Plain text after all.\r\n");
        return false;
    }
    m_controlTls = Accept(m_tls, control);
    return m_controlTls != nullptr;
}

bool ScriptedFtpServer::ReceiveData(int data, const ScriptedReply& reply, std::string& received) {
    char buffer[65536];
    SSL* ssl = nullptr;
    if (m_controlTls != nullptr && m_protectData) {
        if (reply.dataTls == ScriptedReply::DataTls::Garbage) {
            SendAll(data, "This is not TLS.\r\n");
            return false;
        }
        ssl = Accept(reply.dataTls == ScriptedReply::DataTls::OtherCertificate && m_otherTls ? m_otherTls : m_tls,
                     data);
        if (ssl == nullptr)
            return false;
        if (SSL_session_reused(ssl) == 1) {
            std::lock_guard lock(m_mutex);
            ++m_resumed;
        }
    }
    for (;;) {
        if (!(ssl && SSL_pending(ssl) > 0) && !WaitFor(data, POLLIN, kDataTimeoutMs, m_stop))
            break;
        const int n = ssl ? SSL_read(ssl, buffer, sizeof buffer)
                          : static_cast<int>(::recv(data, buffer, sizeof buffer, 0));
        if (n < 0 && !ssl && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    SSL_free(ssl);
    ERR_clear_error();
    return true;
}

void ScriptedFtpServer::SetGreeting(ScriptedReply greeting) {
    std::lock_guard lock(m_mutex);
    m_greeting = std::move(greeting);
}

void ScriptedFtpServer::Script(const std::string& verb, std::vector<ScriptedReply> replies) {
    std::lock_guard lock(m_mutex);
    m_scripts[Upper(verb)] = std::move(replies);
    m_used[Upper(verb)] = 0;
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::string ScriptedFtpServer::ControlBytes() const {
    std::lock_guard lock(m_mutex);
    return m_controlBytes;
}

std::vector<std::string> ScriptedFtpServer::Uploads() const {
    std::lock_guard lock(m_mutex);
    return m_uploads;
}

int ScriptedFtpServer::ControlConnections() const {
    std::lock_guard lock(m_mutex);
    return m_controlConnections;
}

int ScriptedFtpServer::DataConnections() const {
    std::lock_guard lock(m_mutex);
    return m_dataConnections;
}

bool ScriptedFtpServer::WaitUntilIdle(int timeoutMs) const {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_busy && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return !m_busy;
}

ScriptedReply ScriptedFtpServer::Next(const std::string& verb) {
    std::lock_guard lock(m_mutex);
    const auto found = m_scripts.find(verb);
    if (found == m_scripts.end() || found->second.empty())
        return Say("502 Command not implemented.\r\n");
    std::size_t& used = m_used[verb];
    const std::size_t index = std::min(used, found->second.size() - 1);
    ++used;
    return found->second[index];
}

void ScriptedFtpServer::Serve() {
    // OpenSSL writes its records with plain write(): a client that has gone would kill the whole test
    // program with SIGPIPE. Blocked in this thread only, the client's own writes still show if they raise it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (!m_stop) {
        if (!WaitFor(m_listener, POLLIN, -1, m_stop))
            continue;
        const int control = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (control < 0)
            continue;
        m_busy = true;
        {
            std::lock_guard lock(m_mutex);
            ++m_controlConnections;
        }
        Session(control);
        ::close(control);
        m_busy = false;
    }
}

void ScriptedFtpServer::Session(int control) {
    ScriptedReply greeting;
    {
        std::lock_guard lock(m_mutex);
        greeting = m_greeting;
    }
    int dataListener = -1;
    std::string activeAddress;
    int activePort = 0;
    std::vector<int> stalled;
    bool open = Reply(control, greeting);
    std::string pending;
    while (open && !m_stop) {
        const std::size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            {
                std::lock_guard lock(m_mutex);
                m_commands.push_back(line);
            }
            open = Handle(control, line, dataListener, activeAddress, activePort, stalled);
            continue;
        }
        if (!(m_controlTls && SSL_pending(m_controlTls) > 0) && !WaitFor(control, POLLIN, -1, m_stop))
            break;
        char buffer[4096];
        const ssize_t n = m_controlTls ? SSL_read(m_controlTls, buffer, sizeof buffer)
                                       : ::recv(control, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::lock_guard lock(m_mutex);
        m_controlBytes.append(buffer, static_cast<std::size_t>(n));
    }
    // A silent or closed session still takes the client's bytes until it goes away.
    if (!open) {
        char buffer[4096];
        while (WaitFor(control, POLLIN, -1, m_stop)) {
            const ssize_t n = ::recv(control, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            std::lock_guard lock(m_mutex);
            m_controlBytes.append(buffer, static_cast<std::size_t>(n));
        }
    }
    for (int s : stalled) ::close(s);
    if (dataListener >= 0)
        ::close(dataListener);
    SSL_free(m_controlTls);
    m_controlTls = nullptr;
    m_protectData = false;
    ERR_clear_error();
}

bool ScriptedFtpServer::Reply(int control, const ScriptedReply& reply) {
    if (reply.delayMs > 0)
        Pause(reply.delayMs, m_stop);
    if (reply.after == ScriptedReply::After::Silence) {
        SendControl(control, reply.text);
        return false;
    }
    SendControl(control, reply.text);
    if (reply.after == ScriptedReply::After::Close) {
        ::shutdown(control, SHUT_RDWR);
        return false;
    }
    return true;
}

int ScriptedFtpServer::OpenDataConnection(int control, int& dataListener, const std::string& activeAddress,
                                          int activePort) {
    int data = -1;
    if (dataListener >= 0) {
        if (WaitForConnectionOrHangUp(dataListener, control, m_stop)) {
            data = ::accept4(dataListener, nullptr, nullptr, SOCK_CLOEXEC);
        }
        ::close(dataListener);
        dataListener = -1;
    } else if (activeAddress == "::1") {
        // Tests only ever run on loopback: an announced address elsewhere is not followed.
        data = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(static_cast<std::uint16_t>(activePort));
        sa.sin6_addr = in6addr_loopback;
        if (::connect(data, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(data);
            data = -1;
        }
    } else if (!activeAddress.empty()) {
        data = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(activePort));
        // Tests only ever run on loopback: an announced address elsewhere is not followed.
        if (::inet_pton(AF_INET, activeAddress.c_str(), &sa.sin_addr) != 1 ||
            (ntohl(sa.sin_addr.s_addr) >> 24) != 127 ||
            ::connect(data, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(data);
            data = -1;
        }
    }
    if (data >= 0) {
        std::lock_guard lock(m_mutex);
        ++m_dataConnections;
    }
    return data;
}

bool ScriptedFtpServer::Handle(int control, const std::string& line, int& dataListener,
                               std::string& activeAddress, int& activePort, std::vector<int>& stalled) {
    const std::string verb = Upper(line.substr(0, line.find(' ')));
    ScriptedReply reply = Next(verb);
    if (verb == "AUTH" && m_tls && m_controlTls == nullptr && reply.text.rfind("234", 0) == 0) {
        return Reply(control, reply) && StartControlTls(control, reply);
    }
    if (Upper(line) == "PROT P" && reply.text.rfind("200", 0) == 0)
        m_protectData = true;
    if (verb == "PASV" || verb == "EPSV") {
        if (dataListener >= 0)
            ::close(dataListener);
        int port = 0;
        dataListener = ListenOnLoopback(port, m_host);
        activeAddress.clear();
        ReplaceAll(reply.text, "{port}", std::to_string(port));
        ReplaceAll(reply.text, "{p1}", std::to_string(port / 256));
        ReplaceAll(reply.text, "{p2}", std::to_string(port % 256));
        return Reply(control, reply);
    }
    if (verb == "EPRT") {
        // "EPRT |2|::1|port|" with any delimiter
        std::vector<std::string> fields;
        std::string rest = line.size() > 5 ? line.substr(5) : "";
        const char delimiter = rest.empty() ? '|' : rest[0];
        for (std::size_t at; (at = rest.find(delimiter)) != std::string::npos; rest.erase(0, at + 1)) {
            fields.push_back(rest.substr(0, at));
        }
        if (fields.size() == 4) {
            activeAddress = fields[2];
            activePort = std::atoi(fields[3].c_str());
        }
        if (dataListener >= 0)
            ::close(dataListener);
        dataListener = -1;
        return Reply(control, reply);
    }
    if (verb == "PORT") {
        // "PORT h1,h2,h3,h4,p1,p2"
        std::vector<std::string> fields;
        std::string rest = line.size() > 5 ? line.substr(5) : "";
        for (std::size_t comma; (comma = rest.find(',')) != std::string::npos; rest.erase(0, comma + 1)) {
            fields.push_back(rest.substr(0, comma));
        }
        fields.push_back(rest);
        if (fields.size() == 6) {
            activeAddress = fields[0] + "." + fields[1] + "." + fields[2] + "." + fields[3];
            activePort = std::atoi(fields[4].c_str()) * 256 + std::atoi(fields[5].c_str());
        }
        if (dataListener >= 0)
            ::close(dataListener);
        dataListener = -1;
        return Reply(control, reply);
    }
    if (reply.data == ScriptedReply::Data::None)
        return Reply(control, reply);

    int data = -1;
    if (reply.connectBeforeReply)
        data = OpenDataConnection(control, dataListener, activeAddress, activePort);
    if (reply.delayMs > 0)
        Pause(reply.delayMs, m_stop);
    SendControl(control, reply.text);
    if (data < 0)
        data = OpenDataConnection(control, dataListener, activeAddress, activePort);
    if (data < 0) {
        SendControl(control, "425 Can't open data connection.\r\n");
        return true;
    }
    if (reply.data == ScriptedReply::Data::Stall) {
        stalled.push_back(data);
        return true;
    }
    std::string received;
    if (!ReceiveData(data, reply, received)) {
        ::close(data);
        SendControl(control, "425 TLS negotiation failed on the data connection.\r\n");
        return true;
    }
    ::close(data);
    {
        std::lock_guard lock(m_mutex);
        m_uploads.push_back(received);
    }
    SendControl(control, reply.completion);
    if (reply.after == ScriptedReply::After::Close) {
        ::shutdown(control, SHUT_RDWR);
        return false;
    }
    return reply.after == ScriptedReply::After::Continue;
}

}  // namespace signposter::testing
