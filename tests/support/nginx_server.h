#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace signposter::testing {

// A real web server: nginx on loopback ports of its own, in plain HTTP and, given certificates, over TLS,
// each server block with the locations the test writes (nginx configuration text).
class NginxServer {
public:
    struct Site {
        std::string certFile, keyFile;  // both empty: plain HTTP
        std::string locations;
        int port = 0;  // filled in
    };

    static bool Installed() {
        return std::filesystem::exists("/usr/sbin/nginx") &&
               std::filesystem::exists("/usr/lib/nginx/modules/ngx_http_echo_module.so");
    }

    explicit NginxServer(std::vector<Site> sites) : m_sites(std::move(sites)) {
        if (!Installed())
            return;
        const std::string dir = m_dir.Path();
        std::filesystem::create_directory(dir + "/tmp");
        std::ofstream conf(dir + "/nginx.conf");
        conf << "load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;\nworker_processes 1;\n"
             << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log;\n"
             << "events { worker_connections 64; }\nhttp {\n access_log off;\n client_body_temp_path " << dir
             << "/tmp;\n";
        for (Site& site : m_sites) {
            site.port = FreePort();
            conf << " server {\n  listen 127.0.0.1:" << site.port << (site.certFile.empty() ? "" : " ssl")
                 << ";\n";
            if (!site.certFile.empty())
                conf << "  ssl_certificate " << site.certFile << ";\n  ssl_certificate_key " << site.keyFile
                     << ";\n";
            conf << site.locations << "  location / { return 404; }\n }\n";
        }
        conf << "}\n";
        conf.close();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl("/usr/sbin/nginx", "nginx", "-c", (dir + "/nginx.conf").c_str(), "-p", dir.c_str(), "-g",
                    "daemon off;", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Up when every site accepts; a few seconds at most on a loaded machine.
        for (int i = 0; i < 100 && !Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~NginxServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool Running() const {
        if (m_pid <= 0)
            return false;
        for (const Site& site : m_sites)
            if (!Accepts(site.port))
                return false;
        return true;
    }
    // The URL of `path` on the site at `index`, in the order given.
    std::string Url(std::size_t index, const std::string& path) const {
        const Site& site = m_sites.at(index);
        return (site.certFile.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") +
               std::to_string(site.port) + path;
    }

private:
    static int FreePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        return ntohs(address.sin_port);
    }
    static bool Accepts(int port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

    TempDir m_dir;
    std::vector<Site> m_sites;
    pid_t m_pid = -1;
};

}  // namespace signposter::testing
