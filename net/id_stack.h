#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/host_lookup.h"

// The process-wide socket stack: socket creation, name lookup, address conversions, and the mapping of
// platform failures onto the Windows Sockets codes and texts the rest of the client reports.
namespace signposter::net {

using TIdSocket = int;
inline constexpr TIdSocket kInvalidSocket = -1;
// An IPv4 address in network byte order, first byte first.
using TIdInAddr = std::array<std::uint8_t, 4>;

// Which family a socket and its addresses belong to.
enum class TIdIPVersion { Id_IPv4, Id_IPv6 };

// An address of either family in network byte order, first byte first; IPv4 uses the first four bytes.
struct TIdIPAddress {
    TIdIPVersion version = TIdIPVersion::Id_IPv4;
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const TIdIPAddress&) const = default;
};

// A wait given this many milliseconds has no time limit.
inline constexpr int kNoTimeLimit = -2;

// Windows Sockets codes used by name in the client.
inline constexpr int kWsaEIntr = 10004;
inline constexpr int kWsaENotSock = 10038;
inline constexpr int kWsaEAddrInUse = 10048;
inline constexpr int kWsaEShutdown = 10058;
inline constexpr int kWsaETimedOut = 10060;
inline constexpr int kWsaEConnRefused = 10061;
inline constexpr int kWsaECancelled = 10103;  // a wait ended by the program's stop request
inline constexpr int kWsaHostNotFound = 11001;
// Not a Windows Sockets code: a wait cut short by the bound of a whole session (see TIdFTP).
inline constexpr int kIdSessionExpired = 19001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

// Platform failures onto the codes of the socket layer's table (0 stays 0).
int MapErrnoToWsa(int error);
// The resolver's failures onto the name-lookup codes 11001..11004; a failed system call goes through errno.
int MapLookupFailureToWsa(platform::LookupFailure failure, int systemError);

class TIdStack {
public:
    virtual ~TIdStack() = default;

    // Platform services. Failing calls answer -1 (or nothing) and leave the code in LastError().
    virtual TIdSocket NewSocket(int type, int protocol, TIdIPVersion version) = 0;
    virtual int Bind(TIdSocket socket, const TIdIPAddress& address, int port) = 0;
    // A connect that has not completed within timeoutMs on `clock` fails with 10060.
    virtual int Connect(TIdSocket socket, const TIdIPAddress& address, int port, int timeoutMs,
                        const platform::Clock& clock) = 0;
    virtual int Listen(TIdSocket socket, int backlog) = 0;
    virtual TIdSocket Accept(TIdSocket socket) = 0;
    // Sends what the peer can take now, waiting at most timeoutMs for room; the wait expiring fails with
    // 10060. Never raises SIGPIPE.
    virtual int Send(TIdSocket socket, const char* data, int count, int timeoutMs,
                     const platform::Clock& clock) = 0;
    virtual int Receive(TIdSocket socket, char* area, int size) = 0;
    // 1 when one of the sockets can be read (data, end of stream or an error), 0 at the limit, -1 on failure.
    virtual int WaitReadable(const std::vector<TIdSocket>& sockets, int timeoutMs,
                             const platform::Clock& clock) = 0;
    virtual void Shutdown(TIdSocket socket, int how) = 0;
    virtual void CloseSocket(TIdSocket socket) = 0;
    virtual int LocalName(TIdSocket socket, TIdIPAddress& address, int& port) = 0;
    virtual int PeerName(TIdSocket socket, TIdIPAddress& address, int& port) = 0;
    // The first IPv4 address of `name`, the lookup waited for on `clock` for at most timeoutMs (negative:
    // no limit of its own).
    virtual std::optional<TIdInAddr> HostByName(const std::string& name, const platform::Clock& clock,
                                                int timeoutMs) = 0;
    // Every address of `name` of both families, in the resolver's order, as text; empty on failure with
    // the code in LastError(). The base asks HostByName, so a stack that knows only IPv4 still answers.
    virtual std::vector<std::string> HostAddresses(const std::string& name, const platform::Clock& clock,
                                                   int timeoutMs);
    virtual std::string HostName() = 0;
    virtual int LastError() const = 0;

    // Raises EIdInvalidSocket when no socket can be had.
    TIdSocket CreateSocket(int type, int protocol, TIdIPVersion version = TIdIPVersion::Id_IPv4);
    // "localhost" in any case is 127.0.0.1 and a dotted quad is used as written, both without a lookup.
    // A failed lookup raises EIdSocketError with its code and a message naming the host and what failed;
    // the stop request and a session's bound end the wait as they end any other.
    std::string LookupHost(const std::string& name, const platform::Clock& clock = platform::MachineClock(),
                           int timeoutMs = kNoTimeLimit);
    // The addresses to try for `name` when IPv6 may be used, in order: an IPv6 literal (brackets allowed)
    // or a dotted quad as written, "localhost" as 127.0.0.1, else the resolver's answers of both families.
    // Fails as LookupHost does.
    std::vector<std::string> LookupHostAddresses(const std::string& name, const platform::Clock& clock,
                                                 int timeoutMs);
    // False for a success, true for a failure whose code is tolerated; any other failure raises.
    bool CheckSocketResult(int result, std::initializer_list<int> tolerated = {});
    [[noreturn]] static void RaiseSocketFailure(int code);
    // The texts of the Windows Sockets codes, whatever the platform; empty outside the table.
    static std::string SocketErrorText(int code);
    // Raises EIdStackSetSizeExceeded for more than 64 sockets, as the readiness sets allow no more.
    int WaitForReadable(const std::vector<TIdSocket>& sockets, int timeoutMs, const platform::Clock& clock);

    static bool IsDottedQuad(std::string_view text);
    static std::string AddressToText(const TIdInAddr& address);
    // Raises EConvertError for a field that is not a number.
    static TIdInAddr TextToAddress(std::string_view text);
    // An IPv6 address written bare or in brackets, in the resolver's text form; nothing for other text.
    static std::optional<std::string> IPv6Literal(std::string_view text);
    // IPv6 text when it holds a colon, else the dotted quad as TextToAddress reads it; raises
    // EConvertError for IPv6 text that does not parse.
    static TIdIPAddress TextToIPAddress(std::string_view text);
    static std::string IPAddressToText(const TIdIPAddress& address);
};

// The stack over POSIX sockets. Sockets stay blocking; every wait goes through poll with a bound.
class TIdStackPosix : public TIdStack {
public:
    TIdSocket NewSocket(int type, int protocol, TIdIPVersion version) override;
    int Bind(TIdSocket socket, const TIdIPAddress& address, int port) override;
    int Connect(TIdSocket socket, const TIdIPAddress& address, int port, int timeoutMs,
                const platform::Clock& clock) override;
    int Listen(TIdSocket socket, int backlog) override;
    TIdSocket Accept(TIdSocket socket) override;
    int Send(TIdSocket socket, const char* data, int count, int timeoutMs,
             const platform::Clock& clock) override;
    int Receive(TIdSocket socket, char* area, int size) override;
    int WaitReadable(const std::vector<TIdSocket>& sockets, int timeoutMs,
                     const platform::Clock& clock) override;
    void Shutdown(TIdSocket socket, int how) override;
    void CloseSocket(TIdSocket socket) override;
    int LocalName(TIdSocket socket, TIdIPAddress& address, int& port) override;
    int PeerName(TIdSocket socket, TIdIPAddress& address, int& port) override;
    std::optional<TIdInAddr> HostByName(const std::string& name, const platform::Clock& clock,
                                        int timeoutMs) override;
    std::vector<std::string> HostAddresses(const std::string& name, const platform::Clock& clock,
                                           int timeoutMs) override;
    std::string HostName() override;
    // The failure of the calling thread's latest failed call: the stack is shared by every thread that
    // holds it, and one thread's failure must not become another's message.
    int LastError() const override;

protected:
    // Records the failure of the call just made (errno) and answers -1.
    int Fail();
    int FailWith(int wsaCode);
};

// The shared stack exists while at least one user holds it: every network component (counted in
// NetComponentCount) and every socket handle, on any thread.
TIdStack* SharedStack();
int NetComponentCount();
// Replaces how the next shared stack is made (nullptr restores the POSIX one). Tests use it for lookups
// that fail without a resolver; it takes effect when no stack exists.
void SetStackFactory(std::function<std::unique_ptr<TIdStack>()> factory);

// Holds the shared stack for as long as it lives, starting it first when none exists.
class TIdStackReference {
public:
    explicit TIdStackReference(bool isComponent);
    ~TIdStackReference();
    TIdStackReference(const TIdStackReference&) = delete;
    TIdStackReference& operator=(const TIdStackReference&) = delete;
    TIdStack& Stack() const { return *SharedStack(); }

private:
    bool m_isComponent;
};

}  // namespace signposter::net
