#include "net/id_stack.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "net/id_exceptions.h"
#include "platform/text.h"

namespace signposter::net {

namespace {

// What a Windows Sockets readiness set holds; the error codes we report come from the same interface.
constexpr std::size_t kMaxSetSize = 64;

socklen_t MakeAddress(const TIdIPAddress& address, int port, sockaddr_storage& storage) {
    storage = {};
    // Only the low 16 bits of a port reach the wire.
    const auto wirePort = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (address.version == TIdIPVersion::Id_IPv6) {
        auto& sa = reinterpret_cast<sockaddr_in6&>(storage);
        sa.sin6_family = AF_INET6;
        sa.sin6_port = wirePort;
        std::memcpy(&sa.sin6_addr, address.bytes.data(), 16);
        return sizeof sa;
    }
    auto& sa = reinterpret_cast<sockaddr_in&>(storage);
    sa.sin_family = AF_INET;
    sa.sin_port = wirePort;
    std::memcpy(&sa.sin_addr, address.bytes.data(), 4);
    return sizeof sa;
}

int ReadAddress(const sockaddr_storage& storage, TIdIPAddress& address, int& port) {
    address = {};
    if (storage.ss_family == AF_INET6) {
        const auto& sa = reinterpret_cast<const sockaddr_in6&>(storage);
        address.version = TIdIPVersion::Id_IPv6;
        std::memcpy(address.bytes.data(), &sa.sin6_addr, 16);
        port = ntohs(sa.sin6_port);
        return 0;
    }
    const auto& sa = reinterpret_cast<const sockaddr_in&>(storage);
    std::memcpy(address.bytes.data(), &sa.sin_addr, 4);
    port = ntohs(sa.sin_port);
    return 0;
}

// The publishing thread and the settings dialog's checks hold the stack at the same time: the stack is
// made and dropped under the lock, and read without it by holders, whose hold keeps it alive.
struct StackRegistry {
    std::mutex lock;
    std::unique_ptr<TIdStack> stack;
    std::atomic<TIdStack*> current{nullptr};
    int users = 0;
    std::atomic<int> components{0};
    std::function<std::unique_ptr<TIdStack>()> factory;
};

thread_local int t_lastError = 0;

StackRegistry& Registry() {
    static StackRegistry registry;
    return registry;
}

}  // namespace

int MapErrnoToWsa(int error) {
    switch (error) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EAGAIN:
            return 10035;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
            return 10035;
#endif
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case ENOBUFS:
        case ENOMEM:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case EPIPE:
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        case ECANCELED:
            return kWsaECancelled;
        case ETIME:
            return kIdSessionExpired;
        case ENOTEMPTY:
            return 10066;
        // Anything else keeps its own small number, which no table entry uses, so the report stays true.
        default:
            return error;
    }
}

int MapLookupFailureToWsa(platform::LookupFailure failure, int systemError) {
    using platform::LookupFailure;
    switch (failure) {
        case LookupFailure::None:
            return 0;
        case LookupFailure::NameNotFound:
            return kWsaHostNotFound;
        case LookupFailure::TryAgain:
            return kWsaTryAgain;
        case LookupFailure::NoAddress:
            return kWsaNoData;
        case LookupFailure::OutOfMemory:
            return 10055;
        case LookupFailure::System:
            return systemError != 0 ? MapErrnoToWsa(systemError) : kWsaNoRecovery;
        case LookupFailure::NoAnswer:
            return MapErrnoToWsa(systemError);
        case LookupFailure::NonRecoverable:
            break;
    }
    return kWsaNoRecovery;
}

// ---- TIdStack ----

TIdSocket TIdStack::CreateSocket(int type, int protocol, TIdIPVersion version) {
    const TIdSocket socket = NewSocket(type, protocol, version);
    if (socket == kInvalidSocket)
        throw EIdInvalidSocket(kMsgCannotAllocateSocket);
    return socket;
}

namespace {

// What a failed lookup's code says, in the resolver's words.
std::string LookupFailureText(int code, int timeoutMs) {
    switch (code) {
        case kWsaHostNotFound:
            return "name or service not known";
        case kWsaTryAgain:
            return "temporary failure in name resolution";
        case kWsaNoRecovery:
            return "non-recoverable failure in name resolution";
        case kWsaNoData:
            return "no IPv4 address for this name";
        case kWsaETimedOut:
            return "no answer within " + std::to_string(timeoutMs) + " ms";
        default:
            return text::Trim(TIdStack::SocketErrorText(code).empty() ? "error " + std::to_string(code)
                                                                      : TIdStack::SocketErrorText(code));
    }
}

}  // namespace

std::string TIdStack::LookupHost(const std::string& name, const platform::Clock& clock, int timeoutMs) {
    if (text::UpperAscii(name) == "LOCALHOST")
        return "127.0.0.1";
    if (IsDottedQuad(name))
        return name;
    const std::optional<TIdInAddr> address = HostByName(name, clock, timeoutMs);
    if (!address) {
        const int code = LastError();
        if (code == kWsaECancelled || code == kIdSessionExpired)
            RaiseSocketFailure(code);
        throw EIdSocketError(code, "Host name lookup failed for " + text::Printable(name) + ": " +
                                       LookupFailureText(code, timeoutMs));
    }
    return AddressToText(*address);
}

std::vector<std::string> TIdStack::HostAddresses(const std::string& name, const platform::Clock& clock,
                                                 int timeoutMs) {
    const std::optional<TIdInAddr> address = HostByName(name, clock, timeoutMs);
    if (!address)
        return {};
    return {AddressToText(*address)};
}

std::vector<std::string> TIdStack::LookupHostAddresses(const std::string& name, const platform::Clock& clock,
                                                       int timeoutMs) {
    if (std::optional<std::string> literal = IPv6Literal(name))
        return {*literal};
    if (text::UpperAscii(name) == "LOCALHOST" || IsDottedQuad(name))
        return {LookupHost(name, clock, timeoutMs)};
    std::vector<std::string> addresses = HostAddresses(name, clock, timeoutMs);
    if (addresses.empty()) {
        const int code = LastError();
        if (code == kWsaECancelled || code == kIdSessionExpired)
            RaiseSocketFailure(code);
        throw EIdSocketError(code, "Host name lookup failed for " + text::Printable(name) + ": " +
                                       (code == kWsaNoData ? std::string("no address for this name")
                                                           : LookupFailureText(code, timeoutMs)));
    }
    return addresses;
}

bool TIdStack::CheckSocketResult(int result, std::initializer_list<int> tolerated) {
    if (result != -1)
        return false;
    const int code = LastError();
    for (int t : tolerated) {
        if (t == code)
            return true;
    }
    RaiseSocketFailure(code);
}

void TIdStack::RaiseSocketFailure(int code) {
    // The clock's waits end early for these two; they are no socket errors and are reported as what they are.
    if (code == kWsaECancelled)
        throw EIdStopped("Stopped.");
    if (code == kIdSessionExpired)
        throw EIdAttemptTimeout("Attempt took longer than its bound.");
    throw EIdSocketError(code, "Socket Error # " + std::to_string(code) + "\r\n" + SocketErrorText(code));
}

std::string TIdStack::SocketErrorText(int code) {
    switch (code) {
        case 10004:
            return "Interrupted system call.";
        case 10009:
            return "Bad file number.";
        case 10013:
            return "Access denied.";
        case 10014:
            return "Bad address.";
        case 10022:
            return "Invalid argument.";
        case 10024:
            return "Too many open files.";
        case 10035:
            return "Operation would block. ";
        case 10036:
            return "Operation now in progress.";
        case 10037:
            return "Operation already in progress.";
        case 10038:
            return "Socket operation on non-socket.";
        case 10039:
            return "Destination address required.";
        case 10040:
            return "Message too long.";
        case 10041:
            return "Protocol wrong type for socket.";
        case 10042:
            return "Bad protocol option.";
        case 10043:
            return "Protocol not supported.";
        case 10044:
            return "Socket type not supported.";
        case 10045:
            return "Operation not supported on socket.";
        case 10046:
            return "Protocol family not supported.";
        case 10047:
            return "Address family not supported by protocol family.";
        case 10048:
            return "Address already in use.";
        case 10049:
            return "Cannot assign requested address.";
        case 10050:
            return "Network is down.";
        case 10051:
            return "Network is unreachable.";
        case 10052:
            return "Net dropped connection or reset.";
        case 10053:
            return "Software caused connection abort.";
        case 10054:
            return "Connection reset by peer.";
        case 10055:
            return "No buffer space available.";
        case 10056:
            return "Socket is already connected.";
        case 10057:
            return "Socket is not connected.";
        case 10058:
            return "Cannot send or receive after socket is closed.";
        case 10059:
            return "Too many references, cannot splice.";
        case 10060:
            return "Connection timed out.";
        case 10061:
            return "Connection refused.";
        case 10062:
            return "Too many levels of symbolic links.";
        case 10063:
            return "File name too long.";
        case 10064:
            return "Host is down.";
        case 10065:
            return "No route to host.";
        case 10066:
            return "Directory not empty";
        default:
            return "";
    }
}

int TIdStack::WaitForReadable(const std::vector<TIdSocket>& sockets, int timeoutMs,
                              const platform::Clock& clock) {
    if (sockets.size() > kMaxSetSize)
        throw EIdStackSetSizeExceeded(kMsgSetSizeExceeded);
    return WaitReadable(sockets, timeoutMs, clock);
}

bool TIdStack::IsDottedQuad(std::string_view text) {
    std::string_view parts[4];
    std::string_view rest = text;
    for (int i = 0; i < 3; ++i) {
        const std::size_t dot = rest.find('.');
        if (dot == std::string_view::npos) {
            parts[i] = rest;
            rest = {};
            // The later parts stay empty and fail below.
            for (int j = i + 1; j < 4; ++j) parts[j] = {};
            break;
        }
        parts[i] = rest.substr(0, dot);
        rest = rest.substr(dot + 1);
        if (i == 2)
            parts[3] = rest;
    }
    for (std::string_view part : parts) {
        const std::optional<std::int32_t> value = text::TryStrictInteger(part);
        if (!value || *value < 0 || *value > 255)
            return false;
    }
    return true;
}

std::string TIdStack::AddressToText(const TIdInAddr& address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) +
           "." + std::to_string(address[3]);
}

TIdInAddr TIdStack::TextToAddress(std::string_view text) {
    TIdInAddr address{};
    std::string_view rest = text;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = rest.find('.');
        const std::string_view field = rest.substr(0, dot);
        rest = dot == std::string_view::npos ? std::string_view{} : rest.substr(dot + 1);
        address[i] = static_cast<std::uint8_t>(text::StrictInteger(field) & 0xFF);
    }
    return address;
}

std::optional<std::string> TIdStack::IPv6Literal(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    in6_addr address{};
    if (text.find(':') == std::string_view::npos ||
        ::inet_pton(AF_INET6, std::string(text).c_str(), &address) != 1)
        return std::nullopt;
    char buffer[INET6_ADDRSTRLEN] = {};
    return std::string(::inet_ntop(AF_INET6, &address, buffer, sizeof buffer));
}

TIdIPAddress TIdStack::TextToIPAddress(std::string_view text) {
    TIdIPAddress address;
    if (text.find(':') == std::string_view::npos) {
        const TIdInAddr v4 = TextToAddress(text);
        std::copy(v4.begin(), v4.end(), address.bytes.begin());
        return address;
    }
    const std::optional<std::string> literal = IPv6Literal(text);
    if (!literal)
        throw EConvertError("'" + text::Printable(std::string(text)) + "' is not a valid IPv6 address");
    address.version = TIdIPVersion::Id_IPv6;
    ::inet_pton(AF_INET6, literal->c_str(), address.bytes.data());
    return address;
}

std::string TIdStack::IPAddressToText(const TIdIPAddress& address) {
    if (address.version == TIdIPVersion::Id_IPv4)
        return AddressToText({address.bytes[0], address.bytes[1], address.bytes[2], address.bytes[3]});
    char buffer[INET6_ADDRSTRLEN] = {};
    return std::string(::inet_ntop(AF_INET6, address.bytes.data(), buffer, sizeof buffer));
}

// ---- TIdStackPosix ----

int TIdStackPosix::Fail() {
    return FailWith(MapErrnoToWsa(errno));
}

int TIdStackPosix::FailWith(int wsaCode) {
    t_lastError = wsaCode;
    return -1;
}

int TIdStackPosix::LastError() const {
    return t_lastError;
}

TIdSocket TIdStackPosix::NewSocket(int type, int protocol, TIdIPVersion version) {
    // Callers use the Windows Sockets numbers: type 1 is a stream socket.
    const int posixType = type == 1 ? SOCK_STREAM : type;
    const int family = version == TIdIPVersion::Id_IPv6 ? AF_INET6 : AF_INET;
    const int s = ::socket(family, posixType | SOCK_CLOEXEC, protocol);
    if (s < 0)
        return Fail();
    if (family == AF_INET6) {
        // An IPv6 socket reaches IPv6 peers only: IPv4 goes through IPv4 sockets, never as mapped addresses.
        const int on = 1;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    return s;
}

int TIdStackPosix::Bind(TIdSocket socket, const TIdIPAddress& address, int port) {
    sockaddr_storage sa{};
    const socklen_t length = MakeAddress(address, port, sa);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&sa), length) != 0)
        return Fail();
    return 0;
}

int TIdStackPosix::Connect(TIdSocket socket, const TIdIPAddress& address, int port, int timeoutMs,
                           const platform::Clock& clock) {
    sockaddr_storage sa{};
    const socklen_t saLength = MakeAddress(address, port, sa);
    // A blocking connect waits as long as the kernel likes (minutes for a silent host); connect without
    // blocking and wait for the outcome ourselves, then put the socket back as it was.
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0)
        return Fail();
    if (::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0)
        return Fail();
    const std::int64_t deadline = clock.DeadlineAfter(timeoutMs);
    int result = ::connect(socket, reinterpret_cast<const sockaddr*>(&sa), saLength);
    int error = result == 0 ? 0 : errno;
    if (result != 0 && (error == EINPROGRESS || error == EINTR)) {
        pollfd pfd{socket, POLLOUT, 0};
        const int ready = clock.Poll(&pfd, 1, deadline);
        if (ready < 0) {
            error = errno;
        } else if (ready == 0) {
            error = ETIMEDOUT;
        } else {
            socklen_t length = sizeof error;
            if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    ::fcntl(socket, F_SETFL, flags);
    if (error != 0) {
        errno = error;
        return Fail();
    }
    return 0;
}

int TIdStackPosix::Listen(TIdSocket socket, int backlog) {
    if (::listen(socket, backlog) != 0)
        return Fail();
    return 0;
}

TIdSocket TIdStackPosix::Accept(TIdSocket socket) {
    // Called once the listener is readable; a pending connection that was dropped meanwhile must not
    // turn this into an endless wait, so the accept itself never blocks (EAGAIN comes back as 10035).
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0)
        return Fail();
    if ((flags & O_NONBLOCK) == 0 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0)
        return Fail();
    int accepted = -1;
    int error = 0;
    do {
        accepted = ::accept4(socket, nullptr, nullptr, SOCK_CLOEXEC);
        error = accepted < 0 ? errno : 0;
    } while (accepted < 0 && error == EINTR);
    ::fcntl(socket, F_SETFL, flags);
    if (accepted < 0) {
        errno = error;
        return Fail();
    }
    return accepted;
}

int TIdStackPosix::Send(TIdSocket socket, const char* data, int count, int timeoutMs,
                        const platform::Clock& clock) {
    const std::int64_t deadline = clock.DeadlineAfter(timeoutMs);
    for (;;) {
        pollfd pfd{socket, POLLOUT, 0};
        const int ready = clock.Poll(&pfd, 1, deadline);
        if (ready < 0)
            return Fail();
        if (ready == 0)
            return FailWith(kWsaETimedOut);
        // MSG_NOSIGNAL: a peer that has gone must give EPIPE, not kill the program.
        const ssize_t n = ::send(socket, data, static_cast<std::size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        return Fail();
    }
}

int TIdStackPosix::Receive(TIdSocket socket, char* area, int size) {
    for (;;) {
        const ssize_t n = ::recv(socket, area, static_cast<std::size_t>(size), 0);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return Fail();
    }
}

int TIdStackPosix::WaitReadable(const std::vector<TIdSocket>& sockets, int timeoutMs,
                                const platform::Clock& clock) {
    std::vector<pollfd> fds;
    fds.reserve(sockets.size());
    for (TIdSocket s : sockets) fds.push_back(pollfd{s, POLLIN, 0});
    const int ready = clock.Poll(fds.data(), fds.size(), clock.DeadlineAfter(timeoutMs));
    if (ready < 0)
        return Fail();
    return ready;
}

void TIdStackPosix::Shutdown(TIdSocket socket, int how) {
    ::shutdown(socket, how == 1 ? SHUT_WR : how);
}

// Not retried on EINTR: on Linux the descriptor is gone either way, and a retry could close another one.
void TIdStackPosix::CloseSocket(TIdSocket socket) {
    ::close(socket);
}

int TIdStackPosix::LocalName(TIdSocket socket, TIdIPAddress& address, int& port) {
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return Fail();
    return ReadAddress(sa, address, port);
}

int TIdStackPosix::PeerName(TIdSocket socket, TIdIPAddress& address, int& port) {
    sockaddr_storage sa{};
    socklen_t length = sizeof sa;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return Fail();
    return ReadAddress(sa, address, port);
}

std::optional<TIdInAddr> TIdStackPosix::HostByName(const std::string& name, const platform::Clock& clock,
                                                   int timeoutMs) {
    const std::int64_t deadline = timeoutMs < 0 ? platform::kNoDeadline : clock.DeadlineAfter(timeoutMs);
    const platform::ResolvedAddresses resolved = platform::ResolveHostIPv4(name, clock, deadline);
    if (resolved.failure != platform::LookupFailure::None || resolved.addresses.empty()) {
        FailWith(resolved.failure != platform::LookupFailure::None
                     ? MapLookupFailureToWsa(resolved.failure, resolved.systemError)
                     : kWsaNoData);
        return std::nullopt;
    }
    return TextToAddress(resolved.addresses.front());
}

std::vector<std::string> TIdStackPosix::HostAddresses(const std::string& name, const platform::Clock& clock,
                                                      int timeoutMs) {
    const std::int64_t deadline = timeoutMs < 0 ? platform::kNoDeadline : clock.DeadlineAfter(timeoutMs);
    platform::ResolvedAddresses resolved =
        platform::ResolveHost(name, platform::LookupFamily::Any, clock, deadline);
    if (resolved.failure != platform::LookupFailure::None || resolved.addresses.empty()) {
        FailWith(resolved.failure != platform::LookupFailure::None
                     ? MapLookupFailureToWsa(resolved.failure, resolved.systemError)
                     : kWsaNoData);
        return {};
    }
    return std::move(resolved.addresses);
}

std::string TIdStackPosix::HostName() {
    return platform::SystemHostLookup().HostName().value_or("");
}

// ---- the shared stack ----

TIdStack* SharedStack() {
    return Registry().current.load(std::memory_order_acquire);
}

int NetComponentCount() {
    return Registry().components.load();
}

void SetStackFactory(std::function<std::unique_ptr<TIdStack>()> factory) {
    StackRegistry& registry = Registry();
    const std::lock_guard<std::mutex> hold(registry.lock);
    registry.factory = std::move(factory);
}

TIdStackReference::TIdStackReference(bool isComponent) : m_isComponent(isComponent) {
    StackRegistry& registry = Registry();
    const std::lock_guard<std::mutex> hold(registry.lock);
    if (!registry.stack) {
        // Sockets are linked directly: starting the stack is making the object.
        registry.stack = registry.factory ? registry.factory() : std::make_unique<TIdStackPosix>();
        if (!registry.stack)
            throw EIdStackInitializationFailed(kMsgWinsockInitializationError);
        registry.current.store(registry.stack.get(), std::memory_order_release);
    }
    ++registry.users;
    if (m_isComponent)
        ++registry.components;
}

TIdStackReference::~TIdStackReference() {
    StackRegistry& registry = Registry();
    const std::lock_guard<std::mutex> hold(registry.lock);
    if (m_isComponent)
        --registry.components;
    if (--registry.users == 0) {
        registry.current.store(nullptr, std::memory_order_release);
        registry.stack.reset();
    }
}

}  // namespace signposter::net
