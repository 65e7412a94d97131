#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace signposter::testing {

// An HTTP server on 127.0.0.1 (or ::1) that answers each path with scripted bytes, for the answers no real server
// gives: no status line, endless bodies, bad chunks, silence. Records each request head it received.
class ScriptedHttpServer {
public:
    struct Answer {
        std::string bytes;         // sent as they are
        bool endless = false;      // then 'x' bytes until the client goes away
        bool silent = false;       // send nothing and keep the connection open
    };

    // On ::1 instead when `ipv6`, at `port` when given; Listening() tells whether that worked.
    explicit ScriptedHttpServer(bool ipv6 = false, int port = 0) : m_ipv6(ipv6) {
        if (ipv6) {
            m_listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_addr = in6addr_loopback;
            address.sin6_port = htons(static_cast<std::uint16_t>(port));
            m_listening = ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            socklen_t length = sizeof address;
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
            m_port = ntohs(address.sin6_port);
        } else {
            m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            m_listening = ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            socklen_t length = sizeof address;
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
            m_port = ntohs(address.sin_port);
        }
        m_listening = m_listening && ::listen(m_listener, 16) == 0;
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedHttpServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }

    int Port() const { return m_port; }
    bool Listening() const { return m_listening; }
    std::string Url(const std::string& path) const {
        return (m_ipv6 ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(m_port) + path;
    }
    void Script(const std::string& path, Answer answer) {
        std::lock_guard lock(m_mutex);
        m_answers[path] = std::move(answer);
    }
    std::vector<std::string> Requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    bool WaitFor(int fd, short events) const {
        while (!m_stop) {
            pollfd p{fd, events, 0};
            if (::poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }

    void Serve() {
        while (WaitFor(m_listener, POLLIN)) {
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && WaitFor(client, POLLIN)) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            // A request body (a SOAP call) is read before answering, so that closing resets nothing.
            const std::size_t headEnd = head.find("\r\n\r\n");
            const std::size_t length = HeaderNumber(head, "content-length:");
            while (headEnd != std::string::npos && head.size() < headEnd + 4 + length && WaitFor(client, POLLIN)) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                head.append(buffer, static_cast<std::size_t>(n));
            }
            Answer answer;
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(head);
                const std::size_t space = head.find(' ');
                const std::string path = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
                // "PATH#Action" answers one SOAP action at that path.
                const std::size_t hash = head.find('#', head.find("SOAPAction:"));
                const std::string action = head.find("SOAPAction:") == std::string::npos || hash == std::string::npos
                                               ? std::string()
                                               : head.substr(hash, head.find('"', hash) - hash);
                auto found = m_answers.find(path + action);
                if (found == m_answers.end())
                    found = m_answers.find(path);
                answer = found != m_answers.end() ? found->second : Answer{"HTTP/1.1 404 Not Found\r\n\r\n"};
            }
            Send(client, answer.bytes);
            if (answer.endless) {
                const std::string fill(16384, 'x');
                while (Send(client, fill)) {
                }
            }
            if (answer.silent) {
                // Held open until the client gives up.
                while (WaitFor(client, POLLIN) && ::recv(client, buffer, sizeof buffer, 0) > 0) {
                }
            }
            ::close(client);
        }
    }

    static std::size_t HeaderNumber(const std::string& head, const std::string& lowerName) {
        std::string lower = head;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::size_t at = lower.find(lowerName);
        return at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + lowerName.size(), nullptr, 10);
    }

    bool Send(int fd, const std::string& bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            if (!WaitFor(fd, POLLOUT))
                return false;
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool m_ipv6 = false;
    bool m_listening = true;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::map<std::string, Answer> m_answers;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

}  // namespace signposter::testing
