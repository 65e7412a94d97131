#include "core/upnp_gateway.h"

#include <fcntl.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "core/address_class.h"
#include "http/http_get.h"
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

std::string Safe(const char* text) {
    return text ? text::Printable(text) : std::string();
}

// What the gateway answered, or why there is no answer ("abandoned" when the question was).
struct HttpAnswer {
    int status = 0;
    std::string body;
    std::string error;
};

// One exchange with the gateway through http/: IPv4 only (a gateway on the link is asked by its IPv4
// address, as the search found it), every status read, and an answer over kMaxGatewayAnswerBytes refused.
// A router answers within a second; the HTTP layer's bound of 5 s holds each exchange.
HttpAnswer Ask(const std::string& url, const std::string* soapAction, const std::string& body,
               const platform::Clock& clock) {
    http::HttpGetOptions options;
    options.family = http::IpFamily::IPv4Only;
    options.maxBodyBytes = kMaxGatewayAnswerBytes;
    options.anyStatus = true;
    options.refuseLongerAnswer = true;
    options.headers = {"Accept: text/xml, application/xml"};
    try {
        http::HttpResult result;
        if (soapAction) {
            options.headers.push_back("Content-Type: text/xml; charset=\"utf-8\"");
            options.headers.push_back("SOAPAction: \"" + *soapAction + "\"");
            result = http::HttpPost(url, body, clock, options);
        } else {
            result = http::HttpGet(url, clock, options);
        }
        return {result.status, std::move(result.body), {}};
    } catch (const http::EHttpStopped&) {
        return {0, {}, "abandoned"};
    } catch (const http::EHttpAnswerTooLarge&) {
        return {0, {}, "an answer longer than " + std::to_string(kMaxGatewayAnswerBytes / 1024) + " KiB"};
    } catch (const http::EHttpError& error) {
        return {0, {}, error.Message()};
    }
}

HttpAnswer Get(const std::string& url, const platform::Clock& clock) {
    return Ask(url, nullptr, {}, clock);
}

// One UPnP action without arguments, as a SOAP request to the control URL.
HttpAnswer Soap(const UpnpIgd& igd, const std::string& action, const platform::Clock& clock) {
    const std::string body =
        "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
        action + " xmlns:u=\"" + igd.serviceType + "\"></u:" + action + "></s:Body></s:Envelope>\r\n";
    const std::string soapAction = igd.serviceType + "#" + action;
    return Ask(igd.controlUrl, &soapAction, body, clock);
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
        // Up to the element's own end: a comment or another element inside stays in the text, so that a
        // value written in pieces is never read as its first piece.
        const std::size_t close = xml.find("</", open + 1);
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
