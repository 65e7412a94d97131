// The router source through miniupnpc against a fake gateway (SSDP and HTTP in the test) and Debian's
// miniupnpd. Discovery needs multicast, which loopback lacks in the machine's own network namespace, so
// the program runs itself again in a private one (root only); elsewhere every test skips and says why.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

#include "core/address_class.h"
#include "core/upnp_gateway.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using namespace signposter::testing;

const char* g_skipReason = nullptr;

// Answers every M-SEARCH on 239.255.255.250:1900 (joined on loopback) with the description's location.
class FakeSsdp {
public:
    explicit FakeSsdp(std::string location) : m_location(std::move(location)) {
        m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(1900);
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ip_mreq group{};
        group.imr_multiaddr.s_addr = ::inet_addr("239.255.255.250");
        group.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        ::setsockopt(m_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeSsdp() {
        m_stop = true;
        m_thread.join();
        ::close(m_socket);
    }

private:
    void Serve() {
        char buffer[2048];
        while (!m_stop) {
            pollfd p{m_socket, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(m_socket, buffer, sizeof buffer - 1, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0)
                continue;
            const std::string request(buffer, static_cast<std::size_t>(n));
            const std::size_t st = request.find("\r\nST:");
            if (request.rfind("M-SEARCH", 0) != 0 || st == std::string::npos)
                continue;
            std::string target = request.substr(st + 5, request.find("\r\n", st + 2) - st - 5);
            while (!target.empty() && target.front() == ' ') target.erase(0, 1);
            const std::string answer = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + target +
                                       "\r\nUSN: uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07c::" + target +
                                       "\r\nEXT:\r\nSERVER: Test/1.0 UPnP/1.1 Fake/1.0\r\nLOCATION: " + m_location +
                                       "\r\n\r\n";
            ::sendto(m_socket, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    std::string m_location;
    int m_socket = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::string HttpOk(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Soap(const std::string& action, const std::string& inner) {
    return HttpOk("<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                  "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" + action +
                  "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + inner + "</u:" + action +
                  "Response></s:Body></s:Envelope>");
}

const char kRootDescription[] =
    "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major>"
    "<minor>0</minor></specVersion><device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1"
    "</deviceType><deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
    // The library takes a gateway only with this service beside the connection's.
    "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId><controlURL>/ctl/CmnIfCfg</controlURL>"
    "<eventSubURL>/evt/CmnIfCfg</eventSubURL><SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList>"
    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
    "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId><controlURL>/ctl/IPConn</controlURL>"
    "<eventSubURL>/evt/IPConn</eventSubURL><SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList>"
    "</device></deviceList></device></deviceList></device></root>";

class UpnpTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (g_skipReason)
            GTEST_SKIP() << g_skipReason;
        m_http.Script("/rootDesc.xml", {HttpOk(kRootDescription)});
        m_http.Script("/ctl/IPConn#GetStatusInfo",
                      {Soap("GetStatusInfo", "<NewConnectionStatus>Connected</NewConnectionStatus>"
                                             "<NewLastConnectionError>ERROR_NONE</NewLastConnectionError>"
                                             "<NewUptime>100</NewUptime>")});
    }
    void External(const std::string& address) {
        m_http.Script("/ctl/IPConn#GetExternalIPAddress",
                      {Soap("GetExternalIPAddress", "<NewExternalIPAddress>" + address + "</NewExternalIPAddress>")});
    }
    // One question from a fresh source (so with discovery), and how long it took.
    AddressAnswer Ask(std::int64_t* tookMs = nullptr, std::function<bool()> stop = {}) {
        UpnpSource source(MakeMiniupnpcGateway(), std::move(stop));
        const auto start = std::chrono::steady_clock::now();
        AddressAnswer answer = source.Query();
        const auto took = std::chrono::steady_clock::now() - start;
        if (tookMs)
            *tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
        return answer;
    }

    ScriptedHttpServer m_http;
};

TEST_F(UpnpTest, AnswersOfAFakeGateway) {
    FakeSsdp ssdp(m_http.Url("/rootDesc.xml"));
    const std::pair<const char*, const char*> cases[] = {
        {"100.63.0.7", "100.63.0.7"},
        {"10.1.2.3", "10.1.2.3"},      // reported "not connected" by the library, asked anyway
        {"100.64.1.2", "100.64.1.2"},  // the same for carrier-grade NAT
        {"", "the router reports no external address"},
        {"not an address", "the router's external address \"not an address\" is no IPv4 address"},
        // Never cut to the 15 characters of the longest dotted quad.
        {"193.184.216.1234", "the router's external address \"193.184.216.1234\" is no IPv4 address"},
        // An address written in pieces is not the first piece.
        {"93.184.216.34<!-- -->5", "the router's external address \"93.184.216.34<!-- -->5\" is no IPv4 address"},
        {"100.63.0.7</NewExternalIPAddress><NewExternalIPAddress>100.63.0.8",
         "the router's answer holds 2 external addresses"},
    };
    for (const auto& [external, expected] : cases) {
        External(external);
        const AddressAnswer answer = Ask();
        EXPECT_EQ(answer.address.value_or(answer.reason), expected);
    }
    m_http.Script("/ctl/IPConn#GetExternalIPAddress",
                  {"HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n"
                   "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                   "<s:Body><s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
                   "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>501</errorCode>"
                   "<errorDescription>Action Failed</errorDescription></UPnPError></detail></s:Fault></s:Body>"
                   "</s:Envelope>"});
    EXPECT_EQ(Ask().reason, "the router refused to tell its external address (UPnP 501: Action Failed)");
    EXPECT_EQ(ClassifyAddress("10.1.2.3"), AddressClass::Private);
}

TEST_F(UpnpTest, BrokenGatewaysAndNone) {
    std::int64_t took = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Ask(&took).reason, "no UPnP gateway answered");
    std::printf("[ measure  ] discovery with nobody answering: %lld ms\n", static_cast<long long>(took));

    m_http.Script("/rootDesc.xml", {HttpOk("<root><device>broken")});
    {
        FakeSsdp ssdp(m_http.Url("/rootDesc.xml"));
        EXPECT_EQ(Ask().reason, "no UPnP gateway answered with a usable description");
    }
    {
        FakeSsdp ssdp("http://127.0.0.1:1/rootDesc.xml");  // answers the search, nothing behind it
        EXPECT_EQ(Ask().reason, "no UPnP gateway answered with a usable description");
    }
    // The program's output is its own: nothing of the library's on stderr.
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(UpnpTest, EndlessAnswersAreCutAtTheirBoundAndMemoryStaysBounded) {
    FakeSsdp ssdp(m_http.Url("/rootDesc.xml"));
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    m_http.Script("/rootDesc.xml", {"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n<root>", true});
    std::int64_t took = 0;
    EXPECT_EQ(Ask(&took).reason, "no UPnP gateway answered with a usable description");
    EXPECT_LT(took, 10'000);  // the description is cut at its bound, not read until the worker's
    m_http.Script("/rootDesc.xml", {HttpOk(kRootDescription)});
    m_http.Script("/ctl/IPConn#GetExternalIPAddress", {"HTTP/1.1 200 OK\r\n\r\n<s:Envelope>", true});
    EXPECT_EQ(Ask().reason, "the router did not tell its external address (an answer longer than 64 KiB)");
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB";
}

TEST_F(UpnpTest, ASilentGatewayHoldsNoStopAndItsLongestQuestionIsMeasured) {
    FakeSsdp ssdp(m_http.Url("/rootDesc.xml"));
    m_http.Script("/ctl/IPConn#GetExternalIPAddress", {"", false, true});
    std::int64_t took = 0;
    const AddressAnswer answer = Ask(&took);
    EXPECT_FALSE(answer.address);
    std::printf("[ measure  ] discovery, then a gateway silent to GetExternalIPAddress: %lld ms (%s)\n",
                static_cast<long long>(took), answer.reason.c_str());
    // A stop request ends the wait at once; the library call goes on alone until its own time-out.
    const auto stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    const AddressAnswer stopped = Ask(&took, [&] { return std::chrono::steady_clock::now() >= stopAt; });
    EXPECT_EQ(stopped.reason, "the question to the router was abandoned");
    EXPECT_LT(took, 600);
}

TEST_F(UpnpTest, DebianMiniupnpdAsTheRealPeer) {
    if (::access("/usr/sbin/miniupnpd", X_OK) != 0)
        GTEST_SKIP() << "miniupnpd is not installed (scripts/setup installs it)";
    TempDir dir;
    const int port = 47000 + ::getpid() % 1000;
    std::ofstream(dir.File("miniupnpd.conf"))
        << "ext_ifname=lo\next_ip=100.63.0.7\nlistening_ip=lo\nhttp_port=" << port
        << "\nenable_natpmp=no\nenable_upnp=yes\nsecure_mode=yes\nsystem_uptime=yes\n"
           "uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07c\nallow 1024-65535 127.0.0.0/8 1024-65535\n"
           "deny 0-65535 0.0.0.0/0 0-65535\n";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/usr/sbin/miniupnpd", "miniupnpd", "-f", dir.File("miniupnpd.conf").c_str(), "-P",
                dir.File("miniupnpd.pid").c_str(), "-d", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const AddressAnswer answer = Ask();
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(answer.address.value_or(answer.reason), "100.63.0.7");
}

}  // namespace
}  // namespace signposter

int main(int argc, char** argv) {
    if (!std::getenv("SIGNPOSTER_IN_NETNS")) {
        // Run again inside a private network namespace whose loopback carries multicast.
        if (::geteuid() == 0 && std::system("unshare -n true >/dev/null 2>&1") == 0) {
            ::setenv("SIGNPOSTER_IN_NETNS", "1", 1);
            std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("-n"), const_cast<char*>("sh"),
                                       const_cast<char*>("-c"),
                                       const_cast<char*>("ip link set lo up && ip link set lo multicast on && "
                                                         "ip route add 239.0.0.0/8 dev lo && exec \"$0\" \"$@\"")};
            for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
            args.push_back(nullptr);
            ::execvp("unshare", args.data());
        }
        signposter::g_skipReason =
            "UPnP discovery needs multicast on loopback in a private network namespace: run as root where "
            "`unshare -n` is allowed";
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
