#include "core/upnp_gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/address_class.h"
#include "platform/descriptor.h"
#include "platform/host_lookup.h"
#include "platform/stop_request.h"
#include "platform/text.h"

namespace signposter {

namespace {

// Discovery waits this long for answers to each search; the library sends several searches in turn, so
// nobody answering costs about 4 s. Routers answer within a few hundred milliseconds.
constexpr int kDiscoverDelayMs = 1000;
// Hops for the search: the router is on our own link; 2 also reaches one behind a bridge.
constexpr unsigned char kDiscoverTtl = 2;
// How often the program's thread looks for a stop request while the router is asked.
constexpr int kStopCheckSliceMs = 100;
// Every call ends by its own wait: discovery about 4 s, each exchange with the gateway 5 s. This bound
// only catches one that hangs for good: discovery, the description and the questions, each at its
// longest, and some slack.
constexpr int kWorkerBoundMs = 30'000;

// One HTTP exchange with the gateway, whole: a router answers within a second; the library's own calls
// wait 5 s too.
constexpr int kExchangeBoundMs = 5000;
// An answer's head is a few hundred bytes.
constexpr std::size_t kMaxHeadBytes = 16 * 1024;

std::string Safe(const char* text) {
    return text ? text::Printable(text) : std::string();
}

struct HttpUrl {
    std::string host;
    int port = 80;
    std::string path;
};

// "http://host[:port]/path" as a gateway gives it; nothing for anything else.
std::optional<HttpUrl> ParseHttpUrl(const std::string& url) {
    constexpr std::string_view kScheme = "http://";
    if (url.compare(0, kScheme.size(), kScheme) != 0)
        return std::nullopt;
    const std::size_t hostStart = kScheme.size();
    const std::size_t slash = url.find('/', hostStart);
    const std::string authority =
        url.substr(hostStart, slash == std::string::npos ? slash : slash - hostStart);
    HttpUrl parsed;
    parsed.path = slash == std::string::npos ? "/" : url.substr(slash);
    const std::size_t colon = authority.find(':');
    parsed.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        const auto port = text::TryStrictInteger(authority.substr(colon + 1));
        if (!port || *port < 1 || *port > 65535)
            return std::nullopt;
        parsed.port = *port;
    }
    // Both go into the request's head: nothing there may end a line or a field.
    if (parsed.host.empty() || parsed.host.find_first_of("\r\n\t ") != std::string::npos ||
        parsed.path.find_first_of("\r\n\t ") != std::string::npos)
        return std::nullopt;
    return parsed;
}

using platform::Descriptor;

// Waits for `events` on `fd` on the clock; the reason when the wait ended otherwise.
std::optional<std::string> WaitFor(const platform::Clock& clock, int fd, short events,
                                   std::int64_t deadline) {
    pollfd p{fd, events, 0};
    const int ready = clock.Poll(&p, 1, deadline);
    if (ready > 0)
        return std::nullopt;
    if (ready < 0 && errno == ECANCELED)
        return std::string("abandoned");
    return std::string("no answer in time");
}

// The body of a chunked answer, or nothing while it is incomplete or broken.
std::optional<std::string> Dechunk(std::string_view body, bool& broken) {
    std::string out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t lineEnd = body.find("\r\n", at);
        if (lineEnd == std::string_view::npos)
            return std::nullopt;
        std::string_view sizeText = body.substr(at, lineEnd - at);
        sizeText = sizeText.substr(0, sizeText.find(';'));
        std::size_t size = 0;
        if (sizeText.empty() || sizeText.size() > 8) {
            broken = true;
            return std::nullopt;
        }
        for (char c : sizeText) {
            const int digit = text::HexDigitValue(c);
            if (digit < 0) {
                broken = true;
                return std::nullopt;
            }
            size = size * 16 + static_cast<std::size_t>(digit);
        }
        at = lineEnd + 2;
        if (size == 0)
            return out;
        if (body.size() < at + size + 2)
            return std::nullopt;
        out.append(body.substr(at, size));
        at += size + 2;
    }
}

std::string HeaderValue(const std::string& head, const std::string& name) {
    const std::size_t at = text::UpperAscii(head).find("\r\n" + text::UpperAscii(name) + ":");
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + 3 + name.size();
    return text::Trim(std::string_view(head).substr(start, head.find("\r\n", start) - start));
}

struct HttpAnswer {
    int status = 0;
    std::string body;
    std::string error;  // why there is no answer; empty when there is one
};

// Sends `request` to the gateway and reads its answer, at most kMaxGatewayAnswerBytes of body, all within
// kExchangeBoundMs on `clock` (whose stop request ends it at once).
HttpAnswer Exchange(const HttpUrl& url, const std::string& request, const platform::Clock& clock) {
    HttpAnswer answer;
    const std::int64_t deadline = clock.DeadlineAfter(kExchangeBoundMs);
    std::string address = url.host;
    if (!ParseDottedQuad(address)) {
        const platform::ResolvedAddresses resolved = platform::ResolveHostIPv4(url.host, clock, deadline);
        if (resolved.addresses.empty()) {
            answer.error = "cannot look up " + text::Printable(url.host) + ": " + resolved.reason;
            return answer;
        }
        address = resolved.addresses.front();
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(url.port));
    ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
    Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0) {
        answer.error = std::strerror(errno);
        return answer;
    }
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS) {
            answer.error = std::strerror(errno);
            return answer;
        }
        if (const auto failed = WaitFor(clock, socket.Get(), POLLOUT, deadline)) {
            answer.error = *failed;
            return answer;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            answer.error = std::strerror(error);
            return answer;
        }
    }
    for (std::size_t sent = 0; sent < request.size();) {
        if (const auto failed = WaitFor(clock, socket.Get(), POLLOUT, deadline)) {
            answer.error = *failed;
            return answer;
        }
        const ssize_t n = ::send(socket.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            answer.error = std::strerror(errno);
            return answer;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    std::string received;
    std::size_t headEnd = std::string::npos;
    std::optional<std::size_t> length;
    bool chunked = false;
    char buffer[16384];
    for (;;) {
        if (const auto failed = WaitFor(clock, socket.Get(), POLLIN, deadline)) {
            answer.error = *failed;
            return answer;
        }
        const ssize_t n = ::recv(socket.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n < 0) {
            answer.error = std::strerror(errno);
            return answer;
        }
        received.append(buffer, static_cast<std::size_t>(n));
        if (headEnd == std::string::npos) {
            headEnd = received.find("\r\n\r\n");
            if (headEnd == std::string::npos) {
                if (received.size() > kMaxHeadBytes || n == 0) {
                    answer.error = n == 0 ? "the answer ended early" : "the answer's head is too long";
                    return answer;
                }
                continue;
            }
            const std::string head = received.substr(0, headEnd + 2);
            if (head.compare(0, 5, "HTTP/") != 0 || head.find(' ') == std::string::npos) {
                answer.error = "not an HTTP answer";
                return answer;
            }
            answer.status = text::TryStrictInteger(head.substr(head.find(' ') + 1, 3)).value_or(0);
            chunked = text::UpperAscii(HeaderValue(head, "transfer-encoding")) == "CHUNKED";
            if (const std::string value = HeaderValue(head, "content-length"); !value.empty() && !chunked) {
                const auto parsed = text::TryStrictInteger(value);
                if (!parsed || *parsed < 0) {
                    answer.error = "a broken Content-Length";
                    return answer;
                }
                length = static_cast<std::size_t>(*parsed);
            }
        }
        const std::string_view body = std::string_view(received).substr(headEnd + 4);
        // The chunks' own framing counts against the bound too; a little slack keeps it from refusing a
        // description of exactly the bound in small chunks.
        const std::size_t limit = kMaxGatewayAnswerBytes + (chunked ? kMaxGatewayAnswerBytes / 4 : 0);
        if (body.size() > limit || (length && *length > kMaxGatewayAnswerBytes)) {
            answer.error = "an answer longer than " + std::to_string(kMaxGatewayAnswerBytes / 1024) + " KiB";
            return answer;
        }
        if (chunked) {
            bool broken = false;
            if (auto whole = Dechunk(body, broken)) {
                answer.body = std::move(*whole);
                return answer;
            }
            if (broken || n == 0) {
                answer.error = broken ? "a broken chunked answer" : "the answer ended early";
                return answer;
            }
        } else if (length && body.size() >= *length) {
            answer.body = std::string(body.substr(0, *length));
            return answer;
        } else if (n == 0) {
            if (length) {
                answer.error = "the answer ended early";
                return answer;
            }
            answer.body = std::string(body);
            return answer;
        }
    }
}

HttpAnswer Get(const std::string& url, const platform::Clock& clock) {
    const auto parsed = ParseHttpUrl(url);
    if (!parsed)
        return {0, {}, "not an http:// address"};
    return Exchange(*parsed,
                    "GET " + parsed->path + " HTTP/1.1\r\nHost: " + parsed->host + ":" +
                        std::to_string(parsed->port) + "\r\nConnection: close\r\n\r\n",
                    clock);
}

// One UPnP action without arguments, as a SOAP request to the control URL.
HttpAnswer Soap(const UpnpIgd& igd, const std::string& action, const platform::Clock& clock) {
    const auto parsed = ParseHttpUrl(igd.controlUrl);
    if (!parsed)
        return {0, {}, "not an http:// address"};
    const std::string body =
        "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
        action + " xmlns:u=\"" + igd.serviceType + "\"></u:" + action + "></s:Body></s:Envelope>\r\n";
    return Exchange(*parsed,
                    "POST " + parsed->path + " HTTP/1.1\r\nHost: " + parsed->host + ":" +
                        std::to_string(parsed->port) +
                        "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" + igd.serviceType +
                        "#" + action + "\"\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body,
                    clock);
}

// The text of every element of this local name (any namespace prefix), in document order.
std::vector<std::string> ElementTexts(const std::string& xml, const std::string& name) {
    std::vector<std::string> texts;
    for (std::size_t at = 0; (at = xml.find('<', at)) != std::string::npos; ++at) {
        std::size_t nameStart = at + 1;
        const std::size_t nameEnd = xml.find_first_of(" \t\r\n/>", nameStart);
        if (nameEnd == std::string::npos)
            break;
        const std::size_t colon = xml.find(':', nameStart);
        if (colon != std::string::npos && colon < nameEnd)
            nameStart = colon + 1;
        if (xml.compare(nameStart, nameEnd - nameStart, name) != 0 || xml[at + 1] == '/')
            continue;
        const std::size_t open = xml.find('>', nameEnd);
        if (open == std::string::npos)
            break;
        if (xml[open - 1] == '/') {
            texts.emplace_back();
            continue;
        }
        const std::size_t close = xml.find('<', open + 1);
        texts.push_back(xml.substr(open + 1, (close == std::string::npos ? xml.size() : close) - open - 1));
    }
    return texts;
}

class MiniupnpcGateway final : public UpnpGateway {
public:
    std::optional<UpnpIgd> Discover(std::string& error, std::vector<std::string>& steps) override {
        return Discover(error, steps, platform::MachineClock());
    }
    AddressAnswer ExternalAddress(const UpnpIgd& igd, std::vector<std::string>& steps) override {
        return ExternalAddress(igd, steps, platform::MachineClock());
    }

    // The search is the library's (datagrams, bounded by its own waits); the description and the questions
    // are ours, so that each is bounded in size and time and ends when the question is abandoned.
    std::optional<UpnpIgd> Discover(std::string& error, std::vector<std::string>& steps,
                                    const platform::Clock& clock) override {
        int discoverError = 0;
        UPNPDev* devices = ::upnpDiscover(kDiscoverDelayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0,
                                          kDiscoverTtl, &discoverError);
        if (!devices) {
            error = "no UPnP gateway answered";
            return std::nullopt;
        }
        struct Found {
            std::string descUrl;
            unsigned scope = 0;
        };
        std::vector<Found> found;
        for (const UPNPDev* device = devices; device; device = device->pNext) {
            steps.push_back("UPnP device at " + Safe(device->descURL) + " (" + Safe(device->st) + ")");
            found.push_back({device->descURL, device->scope_id});
        }
        ::freeUPNPDevlist(devices);

        std::optional<UpnpIgd> notConnected;
        for (const Found& device : found) {
            const HttpAnswer description = Get(device.descUrl, clock);
            if (!description.error.empty() || description.status != 200) {
                steps.push_back("description " + Safe(device.descUrl.c_str()) + ": " +
                                (description.error.empty() ? "HTTP " + std::to_string(description.status)
                                                           : description.error));
                if (description.error == "abandoned")
                    break;
                continue;
            }
            IGDdatas data{};
            ::parserootdesc(description.body.data(), static_cast<int>(description.body.size()), &data);
            if (data.first.servicetype[0] == '\0')
                continue;
            UPNPUrls urls{};
            ::GetUPNPUrls(&urls, &data, device.descUrl.c_str(), device.scope);
            UpnpIgd igd;
            igd.rootDescUrl = Safe(urls.rootdescURL);
            igd.controlUrl = urls.controlURL ? urls.controlURL : "";
            igd.serviceType = data.first.servicetype;
            ::FreeUPNPUrls(&urls);
            if (igd.controlUrl.empty())
                continue;
            const HttpAnswer status = Soap(igd, "GetStatusInfo", clock);
            const auto connection = ElementTexts(status.body, "NewConnectionStatus");
            igd.validity = status.status == 200 && connection.size() == 1 &&
                                   text::Trim(connection.front()) == "Connected"
                               ? 1
                               : 2;
            if (igd.validity == 1) {
                notConnected = igd;
                break;
            }
            if (!notConnected)
                notConnected = igd;
        }
        if (!notConnected) {
            // Devices answered the search, but none gave a readable description with a WAN service.
            error = "no UPnP gateway answered with a usable description";
            return std::nullopt;
        }
        const UpnpIgd& igd = *notConnected;
        steps.push_back("gateway " + igd.rootDescUrl +
                        (igd.validity == 1 ? " (connected)" : " (reports not connected)"));
        steps.push_back("control URL " + Safe(igd.controlUrl.c_str()) + ", service " +
                        Safe(igd.serviceType.c_str()));
        return igd;
    }

    AddressAnswer ExternalAddress(const UpnpIgd& igd, std::vector<std::string>& steps,
                                  const platform::Clock& clock) override {
        const HttpAnswer answer = Soap(igd, "GetExternalIPAddress", clock);
        if (!answer.error.empty()) {
            steps.push_back("GetExternalIPAddress: " + answer.error);
            return {std::nullopt, "the router did not tell its external address (" + answer.error + ")"};
        }
        if (answer.status != 200) {
            const auto codes = ElementTexts(answer.body, "errorCode");
            const int code =
                codes.empty() ? 0 : text::TryStrictInteger(text::Trim(codes.front())).value_or(0);
            const std::string reason =
                code != 0 ? "UPnP " + std::to_string(code) + ": " + Safe(::strupnperror(code))
                          : "HTTP " + std::to_string(answer.status);
            steps.push_back("GetExternalIPAddress: " + reason);
            return {std::nullopt, "the router refused to tell its external address (" + reason + ")"};
        }
        // Exactly one element holding exactly one address: anything else is no answer, never a part of one.
        const auto values = ElementTexts(answer.body, "NewExternalIPAddress");
        const std::string external = values.size() == 1 ? text::Trim(values.front()) : std::string();
        steps.push_back("GetExternalIPAddress: \"" + text::Printable(external) + "\"");
        if (values.size() != 1)
            return {std::nullopt,
                    "the router's answer holds " + std::to_string(values.size()) + " external addresses"};
        if (external.empty())
            return {std::nullopt, "the router reports no external address"};
        if (!ParseDottedQuad(external))
            return {std::nullopt,
                    "the router's external address \"" + text::Printable(external) + "\" is no IPv4 address"};
        return {external, {}};
    }
};

// What the worker hands back. Shared, so that a worker abandoned at a stop request still has it.
struct Job {
    // Ends the worker's network waits when the question is abandoned.
    platform::StopRequest abandoned;
    platform::SystemClock clock{&abandoned};
    std::optional<UpnpIgd> igd;
    AddressAnswer answer;
    std::vector<std::string> steps;
    int pipe[2] = {-1, -1};
    ~Job() {
        for (int fd : pipe) {
            if (fd >= 0)
                ::close(fd);
        }
    }
};

}  // namespace

std::shared_ptr<UpnpGateway> MakeMiniupnpcGateway() {
    return std::make_shared<MiniupnpcGateway>();
}

UpnpSource::~UpnpSource() {
    for (std::thread& worker : m_leftBehind) worker.join();
}

AddressAnswer UpnpSource::Query() {
    for (std::thread& worker : m_leftBehind) worker.join();
    m_leftBehind.clear();
    auto job = std::make_shared<Job>();
    if (::pipe2(job->pipe, O_CLOEXEC) != 0)
        return {std::nullopt, "cannot ask the router: no pipe for the worker"};
    job->igd = m_igd;

    // The library blocks for seconds; a stop request must not wait for it, so the calls run on a thread
    // of their own that the question can leave behind (it is joined later, once its bounded calls end). It takes no signals: Ctrl-C belongs to the program's
    // thread, and a write to a gateway that has gone must fail with EPIPE instead of ending the process.
    std::thread worker([job, gateway = m_gateway] {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        if (!job->igd) {
            std::string error;
            job->igd = gateway->Discover(error, job->steps, job->clock);
            if (!job->igd)
                job->answer = {std::nullopt, error};
        }
        if (job->igd)
            job->answer = gateway->ExternalAddress(*job->igd, job->steps, job->clock);
        const char done = 1;
        [[maybe_unused]] const auto written = ::write(job->pipe[1], &done, 1);
    });

    // Real time, whatever clock drives the program: the library's waits are real.
    const platform::Clock& clock = platform::MachineClock();
    const std::int64_t bound = clock.DeadlineAfter(kWorkerBoundMs);
    for (;;) {
        pollfd ready{job->pipe[0], POLLIN, 0};
        if (clock.Poll(&ready, 1, std::min(bound, clock.DeadlineAfter(kStopCheckSliceMs))) > 0)
            break;
        if ((m_stopCheck && m_stopCheck()) || clock.Passed(bound)) {
            job->abandoned.Request();
            m_leftBehind.push_back(std::move(worker));
            m_igd.reset();
            return {std::nullopt, clock.Passed(bound) ? "the router did not answer in time"
                                                      : "the question to the router was abandoned"};
        }
    }
    worker.join();
    for (const auto& step : job->steps) Step(step);
    // A failure may mean the router changed or restarted: discover again next time.
    m_igd = job->answer.address ? job->igd : std::nullopt;
    return job->answer;
}

}  // namespace signposter
