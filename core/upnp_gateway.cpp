#include "core/upnp_gateway.h"

#include <fcntl.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "core/address_class.h"
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
// The library's own waits end every call: discovery about 4 s, a gateway that connects but never answers
// 5 s per call. This bound only catches a library that hangs for good: discovery, the description and
// the question, each at its longest, and some slack.
constexpr int kWorkerBoundMs = 30'000;

std::string Safe(const char* text) {
    return text ? text::Printable(text) : std::string();
}

class MiniupnpcGateway final : public UpnpGateway {
public:
    std::optional<UpnpIgd> Discover(std::string& error, std::vector<std::string>& steps) override {
        int discoverError = 0;
        UPNPDev* devices = ::upnpDiscover(kDiscoverDelayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0,
                                          kDiscoverTtl, &discoverError);
        if (!devices) {
            error = "no UPnP gateway answered";
            return std::nullopt;
        }
        for (const UPNPDev* device = devices; device; device = device->pNext)
            steps.push_back("UPnP device at " + Safe(device->descURL) + " (" + Safe(device->st) + ")");
        UPNPUrls urls{};
        IGDdatas data{};
        char lanAddress[64] = {};
        const int validity = ::UPNP_GetValidIGD(devices, &urls, &data, lanAddress, sizeof lanAddress);
        ::freeUPNPDevlist(devices);
        if (validity != 1 && validity != 2) {
            if (validity != 0)
                ::FreeUPNPUrls(&urls);
            // Devices answered the search, but none gave a readable description with a WAN service.
            error = "no UPnP gateway answered with a usable description";
            return std::nullopt;
        }
        UpnpIgd igd;
        igd.rootDescUrl = Safe(urls.rootdescURL);
        igd.controlUrl = urls.controlURL ? urls.controlURL : "";
        igd.serviceType = data.first.servicetype;
        igd.validity = validity;
        ::FreeUPNPUrls(&urls);
        steps.push_back("gateway " + igd.rootDescUrl +
                        (validity == 1 ? " (connected)" : " (reports not connected)"));
        steps.push_back("control URL " + Safe(igd.controlUrl.c_str()) + ", service " +
                        Safe(igd.serviceType.c_str()));
        if (igd.controlUrl.empty()) {
            error = "no UPnP gateway answered with a usable description";
            return std::nullopt;
        }
        return igd;
    }

    AddressAnswer ExternalAddress(const UpnpIgd& igd, std::vector<std::string>& steps) override {
        // The library copies at most 16 bytes, the longest dotted quad and its terminator.
        char external[40] = {};
        const int result =
            ::UPNP_GetExternalIPAddress(igd.controlUrl.c_str(), igd.serviceType.c_str(), external);
        steps.push_back("GetExternalIPAddress: " + std::to_string(result) + " " +
                        Safe(::strupnperror(result)) +
                        (result == UPNPCOMMAND_SUCCESS ? " \"" + Safe(external) + "\"" : std::string()));
        if (result != UPNPCOMMAND_SUCCESS) {
            return {std::nullopt, "the router refused to tell its external address (UPnP " +
                                      std::to_string(result) + ": " + Safe(::strupnperror(result)) + ")"};
        }
        if (external[0] == '\0')
            return {std::nullopt, "the router reports no external address"};
        if (!ParseDottedQuad(external))
            return {std::nullopt,
                    "the router's external address \"" + Safe(external) + "\" is no IPv4 address"};
        return {std::string(external), {}};
    }
};

// What the worker hands back. Shared, so that a worker abandoned at a stop request still has it.
struct Job {
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

AddressAnswer UpnpSource::Query() {
    auto job = std::make_shared<Job>();
    if (::pipe2(job->pipe, O_CLOEXEC) != 0)
        return {std::nullopt, "cannot ask the router: no pipe for the worker"};
    job->igd = m_igd;

    // The library blocks for seconds; a stop request must not wait for it, so the calls run on a thread
    // of their own that the program can leave behind. It takes no signals: Ctrl-C belongs to the program's
    // thread, and a write to a gateway that has gone must fail with EPIPE instead of ending the process.
    std::thread worker([job, gateway = m_gateway] {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        if (!job->igd) {
            std::string error;
            job->igd = gateway->Discover(error, job->steps);
            if (!job->igd)
                job->answer = {std::nullopt, error};
        }
        if (job->igd)
            job->answer = gateway->ExternalAddress(*job->igd, job->steps);
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
            worker.detach();
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
