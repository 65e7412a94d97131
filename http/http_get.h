#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/exceptions.h"

// One HTTP(S) exchange of a short page over libcurl: the echo of our address, the published page as visitors
// get it, and the router's description and SOAP questions. Every wait goes through the program's clock, so
// the stop request ends an exchange at once.
namespace signposter::http {

SIGNPOSTER_EXCEPTION_CLASS(EHttpError, Exception);
SIGNPOSTER_EXCEPTION_CLASS(EHttpBadUrl, EHttpError);               // the URL cannot be asked
SIGNPOSTER_EXCEPTION_CLASS(EHttpMalformedAnswer, EHttpError);      // "Malformed HTTP answer from %s"
SIGNPOSTER_EXCEPTION_CLASS(EHttpAnswerTooLarge, EHttpError);       // "HTTP answer from %s too large"
SIGNPOSTER_EXCEPTION_CLASS(EHttpRedirectRefused, EHttpError);      // too many, another scheme, https to http
SIGNPOSTER_EXCEPTION_CLASS(EHttpTimeout, EHttpError);              // the whole exchange's bound
SIGNPOSTER_EXCEPTION_CLASS(EHttpStopped, EHttpError);              // the program's stop request
SIGNPOSTER_EXCEPTION_CLASS(EHttpCertificateRejected, EHttpError);  // with the verifier's reason
SIGNPOSTER_EXCEPTION_CLASS(EHttpConnectionFailed, EHttpError);     // look-up, connection, TLS, transfer

// A status other than 200; the message is "HTTP %d %s from %s".
class EHttpStatus : public EHttpError {
public:
    EHttpStatus(int status, std::string message) : EHttpError(std::move(message)), m_status(status) {}
    const char* ClassName() const noexcept override { return "EHttpStatus"; }
    int Status() const noexcept { return m_status; }

private:
    int m_status;
};

// Bounds of one GET. A web page that echoes an address answers in well under a second; a second more
// covers a slow link. The connection bound holds the name look-up, the TCP and the TLS handshakes; the
// exchange bound, redirects included, is what one monitor tick can afford to block.
inline constexpr int kHttpConnectTimeoutMs = 3000;
inline constexpr int kHttpExchangeTimeoutMs = 5000;
// Status line and headers: real servers send under 1 KiB; 16 KiB is the usual server limit for requests.
inline constexpr std::size_t kHttpMaxHeaderBytes = 16 * 1024;
// An echo page is a line or a small HTML page; what lies beyond 64 KiB is not read.
inline constexpr std::size_t kHttpMaxBodyBytes = 64 * 1024;
// Redirects followed: an echo service may move once or twice; more is a loop.
inline constexpr int kHttpMaxRedirects = 3;

// Which addresses a GET may connect to. The echo answers with the address the request came from, so the
// IPv6 address is asked for over IPv6 alone and the IPv4 address over IPv4 alone.
enum class IpFamily { Any, IPv4Only, IPv6Only };

// How one GET may differ from the address echo's: the published page is larger, a web host may be slower,
// caches between us and it must be told to ask the origin, and it is fetched the way visitors fetch it.
struct HttpGetOptions {
    int connectTimeoutMs = kHttpConnectTimeoutMs;
    int timeoutMs = kHttpExchangeTimeoutMs;  // the whole exchange, redirects included
    std::size_t maxBodyBytes = kHttpMaxBodyBytes;
    bool noCache = false;  // Cache-Control: no-cache and Pragma: no-cache
    // The environment's http_proxy, https_proxy and no_proxy. Never for the echo: a proxy would echo its
    // own address.
    bool environmentProxy = false;
    std::string tlsTrustFile;  // PEM certificates trusted besides the system's
    // For every hop of the redirects. A URL whose host is an address literal of the other family is refused
    // before anything is sent (an IPv4-mapped IPv6 literal counts as IPv4: it travels over IPv4).
    IpFamily family = IpFamily::Any;
    // Header lines ("Name: value") sent besides the program's own; an Accept line here replaces ours.
    std::vector<std::string> headers;
    // Every status is an answer, read like a 200, and no redirect is followed: a router tells a refusal in
    // the body of a 500.
    bool anyStatus = false;
    // An answer longer than maxBodyBytes raises EHttpAnswerTooLarge instead of being cut: half an XML
    // document is no document.
    bool refuseLongerAnswer = false;
};

struct HttpResult {
    std::string url;  // the URL that answered, after redirects
    std::string body;
    bool truncated = false;  // cut at maxBodyBytes
    int status = 200;
};

// One GET of `url` (http:// or https://), following up to kHttpMaxRedirects redirects to http or https
// (never from https to http), every wait on `clock`. Only status 200 is an answer; everything else raises an
// error of the family above, network text escaped. `log` sees the steps (request, status, bytes).
HttpResult HttpGet(const std::string& url, const platform::Clock& clock, const HttpGetOptions& options = {},
                   const std::function<void(const std::string&)>& log = {});

// One POST of `body` to `url`, as HttpGet asks: the UPnP control's SOAP questions.
HttpResult HttpPost(const std::string& url, const std::string& body, const platform::Clock& clock,
                    const HttpGetOptions& options = {}, const std::function<void(const std::string&)>& log = {});

// Whether HttpGet would ask `url` at all: empty when so, else why not ("URL must start with http:// or
// https://", "Malformed URL ...", "IPv6 address [::1] cannot be asked over IPv4 only"). No network.
std::string UrlProblem(const std::string& url, IpFamily family = IpFamily::Any);

}  // namespace signposter::http
