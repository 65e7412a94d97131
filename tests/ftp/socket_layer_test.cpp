// The socket layer: error codes and texts, addresses and lookups, handles, and the bounded waits.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ftp/id_ftp.h"
#include "net/id_exceptions.h"
#include "net/id_socket_handle.h"
#include "net/id_stack.h"
#include "net/id_tcp_client.h"
#include "platform/joined_threads.h"
#include "platform/stop_request.h"
#include "scripted_ftp_server.h"
#include "support/private_network.h"
#include "support/temp_dir.h"

namespace signposter::ftp {
namespace {

using testing::ClosedLoopbackPort;

// A stack whose lookups fail as an unknown name does, without asking any resolver.
class FailingLookupStack : public TIdStackPosix {
public:
    static inline int lookups = 0;
    std::optional<TIdInAddr> HostByName(const std::string&, const platform::Clock&, int) override {
        ++lookups;
        FailWith(kWsaHostNotFound);
        return std::nullopt;
    }
};

// A listener on 127.0.0.1 that never accepts.
struct IdleListener {
    int socket = -1;
    int port = 0;
    explicit IdleListener(int backlog) {
        socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof sa;
        ::bind(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(socket, backlog);
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &length);
        port = ntohs(sa.sin_port);
    }
    ~IdleListener() { ::close(socket); }
};

// A listener whose accept queue is full: it drops further handshakes, so a connect to it hangs.
struct FullListener : IdleListener {
    std::vector<int> fillers;
    FullListener() : IdleListener(0) {
        for (int i = 0; i < 4; ++i) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<std::uint16_t>(port));
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            fillers.push_back(s);
        }
    }
    ~FullListener() {
        for (int s : fillers) ::close(s);
    }
};

class SocketLayer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SharedStack(), nullptr) << "a stack outlived the previous test"; }
    void TearDown() override { SetStackFactory(nullptr); }
};

TEST_F(SocketLayer, ErrorMessagesFollowTheTable) {
    const auto message = [](int code) {
        try {
            TIdStack::RaiseSocketFailure(code);
        } catch (const EIdSocketError& e) {
            EXPECT_EQ(e.ErrorNumber(), code);
            EXPECT_STREQ(e.ClassName(), "EIdSocketError");
            return e.Message();
        }
        return std::string("not raised");
    };
    EXPECT_EQ(message(10061), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(message(10060), "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_EQ(message(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(message(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(message(10004), "Socket Error # 10004\r\nInterrupted system call.");
    // Name-lookup codes lie outside the table: the message ends with the line break.
    EXPECT_EQ(message(11001), "Socket Error # 11001\r\n");
    EXPECT_EQ(TIdStack::SocketErrorText(10067), "");
}

TEST_F(SocketLayer, PlatformErrorsMapOntoWindowsSocketsCodes) {
    EXPECT_EQ(MapErrnoToWsa(ECONNREFUSED), 10061);
    EXPECT_EQ(MapErrnoToWsa(ETIMEDOUT), 10060);
    EXPECT_EQ(MapErrnoToWsa(ENETUNREACH), 10051);
    EXPECT_EQ(MapErrnoToWsa(EHOSTUNREACH), 10065);
    EXPECT_EQ(MapErrnoToWsa(ECONNRESET), 10054);
    EXPECT_EQ(MapErrnoToWsa(EADDRINUSE), 10048);
    EXPECT_EQ(MapErrnoToWsa(ENOTSOCK), 10038);
    EXPECT_EQ(MapErrnoToWsa(EPIPE), 10058);
    EXPECT_EQ(MapErrnoToWsa(ESHUTDOWN), 10058);
    EXPECT_EQ(MapErrnoToWsa(EINTR), 10004);
    EXPECT_EQ(MapErrnoToWsa(EAGAIN), 10035);
    using platform::LookupFailure;
    EXPECT_EQ(MapLookupFailureToWsa(LookupFailure::NameNotFound, 0), 11001);
    EXPECT_EQ(MapLookupFailureToWsa(LookupFailure::TryAgain, 0), 11002);
    EXPECT_EQ(MapLookupFailureToWsa(LookupFailure::NonRecoverable, 0), 11003);
    EXPECT_EQ(MapLookupFailureToWsa(LookupFailure::NoAddress, 0), 11004);
    EXPECT_EQ(MapLookupFailureToWsa(LookupFailure::System, ECONNREFUSED), 10061);
}

TEST_F(SocketLayer, DottedQuadsAndAddressTexts) {
    EXPECT_TRUE(TIdStack::IsDottedQuad("10.0.0.1"));
    EXPECT_TRUE(TIdStack::IsDottedQuad(" 10.0.0.1"));
    EXPECT_TRUE(TIdStack::IsDottedQuad("$A.0.0.0x1"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("10.0.0"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("10.0.0.1.5"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("256.1.1.1"));
    EXPECT_FALSE(TIdStack::IsDottedQuad("-1.1.1.1"));
    EXPECT_FALSE(TIdStack::IsDottedQuad(""));
    EXPECT_FALSE(TIdStack::IsDottedQuad("ftp.example.com"));

    EXPECT_EQ(TIdStack::AddressToText({192, 168, 1, 5}), "192.168.1.5");
    EXPECT_EQ(TIdStack::TextToAddress("1.2.3.4.99"), (TIdInAddr{1, 2, 3, 4}));
    EXPECT_EQ(TIdStack::TextToAddress("300.1.1.1"), (TIdInAddr{44, 1, 1, 1}));
    try {
        TIdStack::TextToAddress("10.x.0.1");
        FAIL() << "no conversion error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'x' is not a valid integer value");
    }
}

TEST_F(SocketLayer, LookupsAnswerLocalhostAndDottedQuadsWithoutTheResolver) {
    FailingLookupStack::lookups = 0;
    SetStackFactory([] { return std::make_unique<FailingLookupStack>(); });
    TIdComponent component;
    TIdStack& stack = *SharedStack();
    EXPECT_EQ(stack.LookupHost("localhost"), "127.0.0.1");
    EXPECT_EQ(stack.LookupHost("LocalHost"), "127.0.0.1");
    EXPECT_EQ(stack.LookupHost("LOCALHOST"), "127.0.0.1");
    EXPECT_EQ(stack.LookupHost(" 10.0.0.1"), " 10.0.0.1");
    EXPECT_EQ(FailingLookupStack::lookups, 0);
    try {
        stack.LookupHost("10.0.0.1.5");
        FAIL() << "lookup did not fail";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 11001);
        EXPECT_EQ(e.Message(), "Host name lookup failed for 10.0.0.1.5: name or service not known");
    }
    EXPECT_EQ(FailingLookupStack::lookups, 1);
}

TEST_F(SocketLayer, UnknownHostFailsAfterAResolvingNoticeAndLeavesNothingOpen) {
    SetStackFactory([] { return std::make_unique<FailingLookupStack>(); });
    TIdTCPClient client;
    client.SetHost("ftp.example.invalid");
    client.SetPort(21);
    std::vector<std::string> notices;
    client.SetOnStatus([&](TIdComponent*, TIdStatus, const std::string& text) { notices.push_back(text); });
    EXPECT_THROW(client.ConnectToHost(), EIdSocketError);
    EXPECT_FALSE(client.Socket().IsOpen());
    ASSERT_FALSE(notices.empty());
    EXPECT_EQ(notices.front(), "Resolving hostname ftp.example.invalid.");
}

// A name whose resolver answers an address that refuses, then the one that listens, in that order.
class TwoAddressStack : public TIdStackPosix {
public:
    std::vector<std::string> HostAddresses(const std::string&, const platform::Clock&, int) override {
        return {"127.0.0.1", "::1"};
    }
};

TEST_F(SocketLayer, WithIPv6AllowedTheResolversAddressesAreTriedInOrderAndLiteralsNeedNoLookup) {
    if (!testing::IPv6LoopbackAvailable())
        GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
    SetStackFactory([] { return std::make_unique<TwoAddressStack>(); });
    // Only ::1 listens, at a port that 127.0.0.1 refuses.
    const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof sa;
    ASSERT_EQ(::bind(v6, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ::listen(v6, 4);
    ::getsockname(v6, reinterpret_cast<sockaddr*>(&sa), &length);
    TIdTCPClient client;
    client.SetHost("ftp.example.net");
    client.SetPort(ntohs(sa.sin6_port));
    client.SetIPv6Allowed(true);
    std::vector<std::string> notices;
    client.SetOnStatus([&](TIdComponent*, TIdStatus, const std::string& text) { notices.push_back(text); });
    client.ConnectToHost();
    EXPECT_EQ(client.Socket().RemoteAddress(), "::1");
    EXPECT_EQ(client.Socket().IPVersion(), TIdIPVersion::Id_IPv6);
    EXPECT_EQ(notices,
              (std::vector<std::string>{"Resolving hostname ftp.example.net.", "Connecting to 127.0.0.1.",
                                        "Connecting to ::1.", "Connected."}));
    client.CloseConnection();
    ::close(v6);

    TIdStack& stack = *SharedStack();
    const auto lookup = [&](const std::string& name) {
        return stack.LookupHostAddresses(name, platform::MachineClock(), 1000);
    };
    EXPECT_EQ(lookup("[2001:DB8:0:0::21]"), std::vector<std::string>{"2001:db8::21"});
    EXPECT_EQ(lookup("192.0.2.1"), std::vector<std::string>{"192.0.2.1"});
    EXPECT_EQ(lookup("localhost"), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(TIdStack::IPv6Literal("[::1"), std::nullopt);
    EXPECT_EQ(TIdStack::IPv6Literal("1.2.3.4"), std::nullopt);
}

TEST_F(SocketLayer, StackLivesWhileComponentsDo) {
    EXPECT_EQ(NetComponentCount(), 0);
    {
        TIdComponent first;
        TIdStack* stack = SharedStack();
        ASSERT_NE(stack, nullptr);
        {
            TIdTCPClient second;
            EXPECT_EQ(NetComponentCount(), 2);
            EXPECT_EQ(SharedStack(), stack);
        }
        EXPECT_EQ(NetComponentCount(), 1);
        EXPECT_EQ(SharedStack(), stack);
    }
    EXPECT_EQ(NetComponentCount(), 0);
    EXPECT_EQ(SharedStack(), nullptr);
}

TEST_F(SocketLayer, ReadinessWaitsTakeAtMost64Sockets) {
    TIdComponent component;
    try {
        SharedStack()->WaitForReadable(std::vector<TIdSocket>(65, 0), 0, platform::MachineClock());
        FAIL() << "waited on 65 sockets";
    } catch (const EIdStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), "Set Size Exceeded.");
    }
}

TEST_F(SocketLayer, RefusedConnectionRaises10061AndClosesTheSocket) {
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(ClosedLoopbackPort());
    try {
        client.ConnectToHost();
        FAIL() << "connected to a closed port";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 10061);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.Socket().IsOpen());
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(SocketLayer, ExpiredConnectRaises10060) {
    FullListener listener;
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(listener.port);
    client.SetConnectTimeout(300);
    try {
        client.ConnectToHost();
        ADD_FAILURE() << "connected to a full listener";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 10060);
        EXPECT_EQ(e.Message(), "Socket Error # 10060\r\nConnection timed out.");
    }
    EXPECT_FALSE(client.Socket().IsOpen());
}

TEST_F(SocketLayer, HandleBindsReadsAndCloses) {
    TIdSocketHandle handle;
    handle.OpenSocket();
    handle.SetLocalAddress("127.0.0.1");
    handle.SetPort(0);
    handle.BindLocal();
    const int chosen = handle.Port();
    EXPECT_GT(chosen, 0);
    EXPECT_EQ(handle.LocalAddress(), "127.0.0.1");

    // Only the low 16 bits of a port reach the address: 65536 + p is p, already taken here.
    TIdSocketHandle other;
    other.OpenSocket();
    other.SetLocalAddress("127.0.0.1");
    other.SetPort(65536 + chosen);
    try {
        other.BindLocal();
        FAIL() << "bound a port in use";
    } catch (const EIdCouldNotBindSocket& e) {
        EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
    }

    handle.StartListening(1);
    EXPECT_FALSE(handle.WaitReadable(0));  // nothing pending: answers at once
    handle.Close(true);
    EXPECT_FALSE(handle.IsOpen());
    EXPECT_EQ(handle.SocketId(), kInvalidSocket);
    EXPECT_EQ(handle.Port(), 0);
    handle.Close(true);  // a second close does nothing
    EXPECT_THROW(handle.WaitReadable(0), EIdConnClosedGracefully);
}

TEST_F(SocketLayer, SendToAPeerThatStoppedReadingIsBounded) {
    // The listener never accepts, so nobody ever reads: the kernel buffers fill and sends stall.
    IdleListener listener(4);
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(listener.port);
    client.SetSendTimeout(200);
    client.ConnectToHost();
    const std::string chunk(1 << 20, 'x');
    try {
        for (int i = 0; i < 256; ++i) client.WriteBytes(chunk.data(), static_cast<int>(chunk.size()));
        FAIL() << "256 MiB went into a peer that never reads";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 10060);
    }
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(SocketLayer, EachThreadReadsItsOwnLastError) {
    // The publishing thread and a settings check fail at the same moment: neither may report the other's
    // failure.
    TIdStackReference hold(false);
    auto fail = [&](int socket, int& seen) {
        for (int i = 0; i < 2000; ++i) {
            TIdIPAddress address{};
            int port = 0;
            if (hold.Stack().LocalName(socket, address, port) != -1) {
                seen = -1;
                return;
            }
            if (hold.Stack().LastError() != (socket < 0 ? 10009 : 10038)) {
                seen = hold.Stack().LastError();
                return;
            }
        }
    };
    const int notASocket = ::open("/dev/null", O_RDONLY);
    int seenBad = 0;
    int seenNotSocket = 0;
    std::thread other([&] { fail(-1, seenBad); });
    fail(notASocket, seenNotSocket);
    other.join();
    ::close(notASocket);
    EXPECT_EQ(seenBad, 0);
    EXPECT_EQ(seenNotSocket, 0);
}

TEST_F(SocketLayer, SendingToAClosedPeerRaisesInsteadOfKillingTheProcess) {
    testing::ScriptedFtpServer server;
    server.SetGreeting(testing::SayThenClose("421 Go away.\r\n"));
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.ConnectToHost();
    ASSERT_TRUE(server.WaitUntilIdle());
    // The first write may still be taken by the kernel; the next ones meet the reset peer (SIGPIPE
    // without MSG_NOSIGNAL).
    const std::string chunk(65536, 'x');
    bool raised = false;
    for (int i = 0; i < 50 && !raised; ++i) {
        try {
            client.WriteBytes(chunk.data(), static_cast<int>(chunk.size()));
        } catch (const EIdException&) {
            raised = true;
        }
    }
    EXPECT_TRUE(raised);
}

TEST_F(SocketLayer, SignalsDoNotCutAWaitShort) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no automatic restart: poll returns EINTR
    struct sigaction previous {};
    ::sigaction(SIGALRM, &action, &previous);
    itimerval timer{{0, 20000}, {0, 20000}};
    ::setitimer(ITIMER_REAL, &timer, nullptr);

    // An interrupted wait that gave up would report 10004 instead of the time-out.
    FullListener full;
    TIdTCPClient connecting;
    connecting.SetHost("127.0.0.1");
    connecting.SetPort(full.port);
    connecting.SetConnectTimeout(300);
    try {
        connecting.ConnectToHost();
        ADD_FAILURE() << "connected to a full listener";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 10060);
    }

    testing::ScriptedFtpServer server;
    server.SetGreeting(testing::Silence());
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.SetReplyTimeout(300);
    client.ConnectToHost();
    EXPECT_THROW(client.ReadReply({220}), EIdReplyTimeout);

    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
}

// ---- Name look-ups against a name server that never answers ----

// Runs `body` in a child process with a mount and network namespace of its own, whose resolver is a name
// server on 127.0.0.1 that takes every question and never answers (nothing leaves the machine), and
// returns what the body reported. Nothing when this machine does not allow the namespaces.
std::optional<std::string> WithSilentNameServer(const std::string& resolverOptions,
                                                const std::function<std::string()>& body) {
    return testing::InPrivateNetwork("127.0.0.1 localhost\n", resolverOptions, [&] {
        const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(53);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool bound = ::bind(silent, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        return bound ? body() : std::string("namespace set-up failed");
    });
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

// What a connect to `host` raised, and whether it came within `withinMs` of real time.
std::string ConnectFailure(TIdFTP& client, long long withinMs) {
    const auto start = std::chrono::steady_clock::now();
    std::string what = "connected";
    try {
        client.OpenSession(false);
    } catch (const EIdException& error) {
        what = std::string(error.ClassName()) + ": " + error.Message();
    }
    const long long took = MillisecondsSince(start);
    return took <= withinMs ? what : what + " after " + std::to_string(took) + " ms";
}

TEST(SilentNameServer, StopRequestAndBoundsEndTheLookupWithAMessageThatSaysWhatFailed) {
    // The resolver's own wait would be 2 x 5 s: the stop request, the connect bound and the host name
    // source's bound each end it well before.
    const auto stopAndBound = WithSilentNameServer("", [] {
        platform::StopRequest stop;
        platform::SystemClock clock(&stop);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop.Request();
        });
        TIdFTP client;
        client.SetHost("ftp.example.org");
        client.SetClock(clock);
        std::string report = ConnectFailure(client, 2000) + "\n";
        const auto start = std::chrono::steady_clock::now();
        report += platform::SystemHostLookup(clock).ResolveIPv4("ftp.example.org") ? "answered" : "none";
        report += MillisecondsSince(start) < 1000 ? "\n" : " late\n";
        stopper.join();

        TIdFTP bounded;
        bounded.SetHost("ftp.example.org");
        bounded.SetConnectTimeout(1000);
        return report + ConnectFailure(bounded, 3000);
    });
    if (!stopAndBound)
        GTEST_SKIP() << "no private mount and network namespace here (unshare not allowed)";
    EXPECT_EQ(*stopAndBound,
              "EIdStopped: Stopped.\nnone\n"
              "EIdSocketError: Host name lookup failed for ftp.example.org: no answer within 1000 ms");

    const auto given = WithSilentNameServer("options timeout:1 attempts:1\n", [] {
        TIdFTP client;
        client.SetHost("ftp.example.org");
        const std::string failure = ConnectFailure(client, 5000);
        // A look-up nobody waits for any more is still joined, once the resolver gives up, as the
        // program ends.
        platform::StopRequest stop;
        platform::SystemClock clock(&stop);
        stop.Request();
        platform::SystemHostLookup(clock).ResolveIPv4("ftp.example.org");
        platform::JoinedThreads& threads = platform::JoinedThreads::Program();
        const bool running = threads.Count() > 0;
        threads.JoinAll();
        return failure + (running && threads.Count() == 0 ? "\njoined" : "\nnot joined");
    });
    ASSERT_TRUE(given);
    EXPECT_EQ(*given,
              "EIdSocketError: Host name lookup failed for ftp.example.org: temporary failure in name "
              "resolution\njoined");
}

}  // namespace
}  // namespace signposter::ftp
