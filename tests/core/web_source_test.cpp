// The web source and its HTTP client against a scripted server (the broken answers) and nginx (a real one).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/address_source.h"
#include "ftp/http_get.h"
#include "support/fake_clock.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using namespace signposter::testing;

std::string Ok(const std::string& body, const std::string& type = "text/plain") {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

AddressAnswer Ask(const std::string& url, const Clock& clock) {
    WebSource source(url, clock);
    return source.Query();
}

TEST(WebSourceTest, AnswersAndRefusalsOfAScriptedServer) {
    ScriptedHttpServer server;
    const std::string base = server.Url("");
    struct Case {
        const char* path;
        ScriptedHttpServer::Answer answer;
        const char* address;  // expected answer, or nullptr
        std::string reason;   // expected reason when there is none
    };
    const std::string hugeHeaders = "HTTP/1.1 200 OK\r\n" + std::string(1 << 20, 'h') + "\r\n\r\n100.63.0.1";
    const Case cases[] = {
        {"/plain", {Ok("your address is 100.63.0.5 (v4)\n")}, "100.63.0.5", ""},
        {"/skip", {Ok("999.1.1.1 1.2.3.4.5 01.2.3.4 then 100.63.0.6.")}, "100.63.0.6", ""},
        {"/chunked",
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;x=y\r\n100.\r\n6\r\n63.0.7\r\n0\r\n\r\n"},
         "100.63.0.7", ""},
        {"/close", {"HTTP/1.0 200 OK\n\n<b>100.63.0.8</b>"}, "100.63.0.8", ""},
        {"/endless", {"HTTP/1.1 200 OK\r\n\r\n100.63.0.9 ", true}, "100.63.0.9", ""},
        {"/hop", {"HTTP/1.1 302 Found\r\nLocation: /plain\r\nContent-Length: 0\r\n\r\n"}, "100.63.0.5", ""},
        {"/nostatus", {"100.63.0.1\r\n\r\n"}, nullptr, "Malformed HTTP answer from " + base + "/nostatus"},
        {"/missing", {"HTTP/1.1 404 Not Found\r\n\r\n"}, nullptr, "HTTP 404 Not Found from " + base + "/missing"},
        {"/loop", {"HTTP/1.1 301 Moved\r\nLocation: /loop\r\n\r\n"}, nullptr, "Too many redirects from " + base + "/loop"},
        {"/tls",
         {"HTTP/1.1 301 Moved\r\nLocation: https://127.0.0.1/ip\r\n\r\n"},
         nullptr,
         "Redirect from " + base + "/tls to https://127.0.0.1/ip refused: only http:// URLs can be asked"},
        {"/huge", {hugeHeaders}, nullptr, "HTTP answer from " + base + "/huge too large"},
        {"/badchunk", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n100.63.0.1\r\n0\r\n\r\n"}, nullptr,
         "Malformed HTTP answer from " + base + "/badchunk"},
        {"/cut", {"HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n100.63.0.5"}, nullptr,
         "Malformed HTTP answer from " + base + "/cut"},
        {"/none", {Ok("no address here 1.2.3\n")}, nullptr, "no IPv4 address in the answer of " + base + "/none"},
        {"/ipv6", {Ok("2001:db8::7 ::ffff:100.63.0.1\n")}, nullptr, "no IPv4 address in the answer of " + base + "/ipv6"},
        {"/escape", {"HTTP/1.1 500 \x1b[2J\r\n\r\n"}, nullptr, "HTTP 500 \\x1b[2J from " + base + "/escape"},
        {"/silent", {"", false, true}, nullptr,
         "No complete HTTP answer from " + base + "/silent within 5000 ms"},
    };
    for (const Case& c : cases) server.Script(c.path, c.answer);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FakeClock clock;
        const std::int64_t start = clock.tick;
        const AddressAnswer answer = Ask(server.Url(c.path), clock);
        if (c.address) {
            EXPECT_EQ(answer.address.value_or("(none: " + answer.reason + ")"), c.address);
        } else {
            EXPECT_FALSE(answer.address) << *answer.address;
            EXPECT_EQ(answer.reason, c.reason);
        }
        // Every question ends within the exchange bound, whatever the server does.
        EXPECT_LE(clock.tick - start, ftp::kHttpExchangeTimeoutMs);
    }
    EXPECT_EQ(server.Requests().front(),
              "GET /plain HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
                  "\r\nUser-Agent: Signposter/1.0\r\nAccept: text/plain, text/html\r\nConnection: close\r\n\r\n");
}

TEST(WebSourceTest, UrlsThatCannotBeAskedAreRefusedBeforeConnecting) {
    FakeClock clock;
    EXPECT_EQ(Ask("https://127.0.0.1/ip", clock).reason, "Address URL must start with http://");
    EXPECT_EQ(Ask("ftp://127.0.0.1/ip", clock).reason, "Address URL must start with http://");
    EXPECT_EQ(Ask("http://127.0.0.1/a b\r\nX: y", clock).reason,
              "Malformed address URL http://127.0.0.1/a b\\x0d\\x0aX: y");
    EXPECT_EQ(Ask("http://user@127.0.0.1/", clock).reason, "Malformed address URL http://user@127.0.0.1/");
    EXPECT_EQ(Ask("http://127.0.0.1:99999/", clock).reason, "Malformed address URL http://127.0.0.1:99999/");
    EXPECT_EQ(clock.polls, 0);
}

// A real web server: nginx on loopback, the echo module for a page that never ends in time.
class Nginx {
public:
    Nginx() {
        if (!std::filesystem::exists("/usr/sbin/nginx") ||
            !std::filesystem::exists("/usr/lib/nginx/modules/ngx_http_echo_module.so"))
            return;
        m_port = FreePort();
        const std::string dir = m_dir.Path();
        std::filesystem::create_directory(dir + "/tmp");
        std::ofstream(dir + "/nginx.conf")
            << "load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;\nworker_processes 1;\n"
            << "pid " << dir << "/nginx.pid;\nerror_log " << dir << "/error.log;\n"
            << "events { worker_connections 64; }\nhttp {\n access_log off;\n client_body_temp_path " << dir
            << "/tmp;\n server {\n  listen 127.0.0.1:" << m_port << ";\n"
            << "  location = /ip { default_type text/html; return 200 \"<html><body>Current IP Address: "
               "$remote_addr</body></html>\\n\"; }\n"
            << "  location = /fixed { default_type text/plain; return 200 \"your address is 100.63.0.5 (v4)\\n\"; }\n"
            << "  location = /cgnat { default_type text/plain; return 200 \"100.64.12.34\\n\"; }\n"
            << "  location = /none { default_type text/plain; return 200 \"no address here 1.2.3\\n\"; }\n"
            << "  location = /slow { echo_sleep 20; echo \"100.63.0.6\"; }\n"
            << "  location / { return 404; }\n }\n}\n";
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl("/usr/sbin/nginx", "nginx", "-c", (dir + "/nginx.conf").c_str(), "-p", dir.c_str(), "-g",
                    "daemon off;", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Up when it accepts; a few seconds at most on a loaded machine.
        for (int i = 0; i < 100 && !Accepts(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Nginx() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool Running() const { return m_pid > 0 && Accepts(); }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

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
    bool Accepts() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(m_port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

    TempDir m_dir;
    int m_port = 0;
    pid_t m_pid = -1;
};

TEST(WebSourceTest, AgainstNginx) {
    Nginx nginx;
    if (!nginx.Running())
        GTEST_SKIP() << "nginx-light with the echo module is not installed (scripts/setup installs it)";
    FakeClock clock;
    EXPECT_EQ(Ask(nginx.Url("/ip"), clock).address.value_or("none"), "127.0.0.1");
    EXPECT_EQ(Ask(nginx.Url("/fixed"), clock).address.value_or("none"), "100.63.0.5");
    EXPECT_EQ(Ask(nginx.Url("/cgnat"), clock).address.value_or("none"), "100.64.12.34");
    EXPECT_EQ(Ask(nginx.Url("/none"), clock).reason, "no IPv4 address in the answer of " + nginx.Url("/none"));
    EXPECT_EQ(Ask(nginx.Url("/nothing"), clock).reason, "HTTP 404 Not Found from " + nginx.Url("/nothing"));
    const std::int64_t start = clock.tick;
    EXPECT_EQ(Ask(nginx.Url("/slow"), clock).reason,
              "No complete HTTP answer from " + nginx.Url("/slow") + " within 5000 ms");
    EXPECT_EQ(clock.tick - start, ftp::kHttpExchangeTimeoutMs);

    // The one real-time test of the bound: a page that takes 20 s is given up after 5.
    const auto realStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(Ask(nginx.Url("/slow"), platform::MachineClock()).address);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart);
    EXPECT_GE(took.count(), 4900);
    EXPECT_LT(took.count(), 6500);
}

}  // namespace
}  // namespace signposter
