#include "http/http_get.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "platform/files.h"
#include "platform/ip_address.h"
#include "platform/lazy_library.h"
#include "platform/text.h"

namespace signposter::http {

namespace {

const char* const kUserAgent = "Signposter/" SIGNPOSTER_VERSION;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           text::UpperAscii(text.substr(0, prefix.size())) == text::UpperAscii(prefix);
}

const char* FamilyName(IpFamily family) {
    return family == IpFamily::IPv6Only ? "IPv6" : "IPv4";
}

bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

void GlobalInit() {
    if (const std::string missing = platform::LoadCurl(); !missing.empty())
        throw EHttpConnectionFailed(missing);
    // Once per process, before any handle; libcurl 7.84 and later make this call itself thread-safe.
    static const bool done = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!done)
        throw EHttpConnectionFailed("Cannot start the HTTP library");
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};

std::string UrlPart(CURLU* url, CURLUPart part) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, 0) != CURLUE_OK || !raw)
        return {};
    const std::unique_ptr<char, CurlFree> owned(raw);
    return raw;
}

// The scheme of an absolute URL in lower case; empty when libcurl cannot parse it.
std::string SchemeOf(const std::string& url) {
    const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed ||
        curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return {};
    std::string scheme = UrlPart(parsed.get(), CURLUPART_SCHEME);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return scheme;
}

// What one transfer keeps between libcurl's callbacks.
struct Transfer {
    Transfer(const platform::Clock& c, std::size_t limit) : clock(c), maxBodyBytes(limit) {}
    const platform::Clock& clock;
    std::size_t maxBodyBytes;
    std::string body;
    bool truncated = false;
    std::size_t headerBytes = 0;
    bool headersTooLarge = false;
    std::string reason;  // the last status line's reason phrase, as sent
    std::size_t received = 0;
    std::map<curl_socket_t, int> sockets;  // what libcurl wants to wait for on each descriptor
    std::int64_t timer = platform::kNoDeadline;

    void Reset() {
        body.clear();
        truncated = false;
        headerBytes = 0;
        headersTooLarge = false;
        reason.clear();
        received = 0;
    }
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    t.received += bytes;
    const std::size_t room = t.maxBodyBytes - t.body.size();
    t.body.append(data, std::min(room, bytes));
    if (bytes <= room)
        return bytes;
    // Beyond the limit nothing is read: the short count ends the transfer.
    t.truncated = true;
    return 0;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    std::string_view line(data, bytes);
    if (line.substr(0, 5) == "HTTP/") {
        // A new answer (after an interim 1xx one): its head is counted afresh.
        t.headerBytes = 0;
        t.reason.clear();
        const std::size_t first = line.find(' ');
        const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second != std::string_view::npos) {
            std::string_view reason = line.substr(second + 1);
            while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
                reason.remove_suffix(1);
            t.reason = std::string(reason);
        }
    }
    t.headerBytes += bytes;
    t.received += bytes;
    if (t.headerBytes > kHttpMaxHeaderBytes) {
        t.headersTooLarge = true;
        return 0;
    }
    return bytes;
}

int OnSocket(CURL*, curl_socket_t socket, int what, void* user, void*) {
    auto& t = *static_cast<Transfer*>(user);
    if (what == CURL_POLL_REMOVE)
        t.sockets.erase(socket);
    else
        t.sockets[socket] = what;
    return 0;
}

int OnTimer(CURLM*, long timeoutMs, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    t.timer = timeoutMs < 0 ? platform::kNoDeadline : t.clock.TickCount() + timeoutMs;
    return 0;
}

// The trust for https: the system store, and the trust file besides it. libcurl's CA file setting would
// replace the system bundle, so the file goes in as a blob while the system's hashed directory stays.
void SetTrust(CURL* easy, const HttpGetOptions& options, std::string& trustBytes) {
    // SSL_CERT_DIR names another system store, as it does for every program on OpenSSL.
    const char* systemDir = std::getenv("SSL_CERT_DIR");
    if (!systemDir || !*systemDir)
        systemDir = curl_version_info(CURLVERSION_NOW)->capath;
    if (options.tlsTrustFile.empty()) {
        if (std::getenv("SSL_CERT_DIR") && systemDir)
            curl_easy_setopt(easy, CURLOPT_CAPATH, systemDir);
        return;
    }
    try {
        trustBytes = platform::ReadWholeFile(options.tlsTrustFile);
    } catch (const Exception&) {
        throw EHttpConnectionFailed("Cannot read TLS trust file " + text::Printable(options.tlsTrustFile));
    }
    curl_blob blob{trustBytes.data(), trustBytes.size(), CURL_BLOB_NOCOPY};
    curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    if (systemDir)
        curl_easy_setopt(easy, CURLOPT_CAPATH, systemDir);
}

[[noreturn]] void RaiseFailure(CURLcode code, const Transfer& t, const std::string& url, const char* error,
                               int timeoutMs, bool exchangeBoundPassed, bool answerBegun, IpFamily family) {
    const std::string shown = text::Printable(url);
    const std::string detail = text::Printable(*error ? error : curl_easy_strerror(code));
    // A name without an address of the family fails to connect rather than in the look-up.
    const std::string over =
        family == IpFamily::Any ? "" : std::string(" over ") + FamilyName(family) + " only";
    if (t.headersTooLarge)
        throw EHttpAnswerTooLarge("HTTP answer from " + shown + " too large");
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            if (exchangeBoundPassed)
                throw EHttpTimeout("No complete HTTP answer from " + shown + " within " +
                                   std::to_string(timeoutMs) + " ms");
            throw EHttpConnectionFailed("No connection to " + shown + over + ": " + detail);
        case CURLE_COULDNT_RESOLVE_HOST: {
            const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
            const bool parsedOk =
                parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
            throw EHttpConnectionFailed(
                "Host name lookup failed for " +
                text::Printable(parsedOk ? UrlPart(parsed.get(), CURLUPART_HOST) : url) + over);
        }
        case CURLE_PEER_FAILED_VERIFICATION:
            throw EHttpCertificateRejected("Server certificate of " + shown + " rejected: " + detail);
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:  // an answer without a status line (HTTP/0.9)
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_RANGE_ERROR:
            throw EHttpMalformedAnswer("Malformed HTTP answer from " + shown);
        case CURLE_RECV_ERROR:
            // After the status line: a body that breaks its own framing (a bad chunk) or is cut off.
            if (answerBegun)
                throw EHttpMalformedAnswer("Malformed HTTP answer from " + shown);
            [[fallthrough]];
        default:
            throw EHttpConnectionFailed("HTTP fetch of " + shown + over + " failed: " + detail);
    }
}

// Runs the easy handle's transfer to its end on `clock`: libcurl says which descriptors and which time it
// waits for, the clock waits, so that the stop request and an enclosing bound end it like any other wait.
CURLcode Run(CURLM* multi, CURL* easy, Transfer& t, std::int64_t deadline, const std::string& shown,
             int timeoutMs) {
    curl_multi_add_handle(multi, easy);
    struct Remove {
        CURLM* multi;
        CURL* easy;
        ~Remove() { curl_multi_remove_handle(multi, easy); }
    } remove{multi, easy};
    int running = 0;
    t.timer = platform::kNoDeadline;
    curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
    std::vector<pollfd> fds;
    for (;;) {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
                return message->data.result;
        }
        if (t.clock.Passed(deadline))
            return CURLE_OPERATION_TIMEDOUT;
        fds.clear();
        for (const auto& [socket, what] : t.sockets) {
            short events = 0;
            if (what & CURL_POLL_IN)
                events |= POLLIN;
            if (what & CURL_POLL_OUT)
                events |= POLLOUT;
            fds.push_back(pollfd{socket, events, 0});
        }
        const std::int64_t wake = t.timer == platform::kNoDeadline ? deadline : std::min(deadline, t.timer);
        const int ready = t.clock.Poll(fds.data(), fds.size(), wake);
        if (ready < 0) {
            if (errno == ECANCELED)
                throw EHttpStopped("Stopped.");
            if (errno == ETIME)
                throw EHttpTimeout("No complete HTTP answer from " + shown + " within " +
                                   std::to_string(timeoutMs) + " ms");
            if (errno == EINTR)
                continue;
            throw EHttpConnectionFailed("HTTP fetch of " + shown + " failed: cannot wait for the network");
        }
        for (const pollfd& p : fds) {
            if (p.revents == 0)
                continue;
            int mask = 0;
            if (p.revents & (POLLIN | POLLHUP))
                mask |= CURL_CSELECT_IN;
            if (p.revents & POLLOUT)
                mask |= CURL_CSELECT_OUT;
            if (p.revents & (POLLERR | POLLNVAL))
                mask |= CURL_CSELECT_ERR;
            curl_multi_socket_action(multi, p.fd, mask, &running);
        }
        if (t.timer != platform::kNoDeadline && t.clock.Passed(t.timer)) {
            t.timer = platform::kNoDeadline;
            curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
        }
    }
}

// An address cut by the body limit ("100.63.0.51" read as "100.63.0.5", "2001:db8::1234" as "2001:db8::12")
// is no address: a truncated body loses the trailing run of hexadecimal digits, colons and dots that the cut
// may have split.
void DropCutTail(std::string& body) {
    while (!body.empty() && (std::isxdigit(static_cast<unsigned char>(body.back())) || body.back() == '.' ||
                             body.back() == ':'))
        body.pop_back();
}

// Why a host cannot be reached over `family` alone; empty when it may be. Only address literals are known
// before the look-up; a name with no address of the family fails there.
std::string FamilyProblem(const std::string& host, IpFamily family) {
    if (family == IpFamily::Any || host.empty())
        return {};
    const std::string shown = text::Printable(host);
    const std::string over = std::string(" cannot be asked over ") + FamilyName(family) + " only";
    if (host.front() == '[') {
        if (family == IpFamily::IPv4Only)
            return "IPv6 address " + shown + over;
        // A mapped address reaches an IPv4 host over IPv4 through the IPv6 socket: the echo would see IPv4.
        const std::string inner = host.substr(1, host.find_first_of("%]") - 1);
        const auto bytes = platform::ParseIPv6(inner);
        const bool mapped = bytes &&
                            std::all_of(bytes->begin(), bytes->begin() + 10, [](auto b) { return b == 0; }) &&
                            (*bytes)[10] == 0xff && (*bytes)[11] == 0xff;
        return mapped ? "IPv4-mapped address " + shown + over : std::string();
    }
    // libcurl has rewritten every numeric IPv4 form ("127.1", "0x7f000001") as a dotted quad by now.
    in_addr ipv4{};
    if (family == IpFamily::IPv6Only && ::inet_pton(AF_INET, host.c_str(), &ipv4) == 1)
        return "IPv4 address " + shown + over;
    return {};
}

}  // namespace

std::string UrlProblem(const std::string& url, IpFamily family) {
    if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://"))
        return "URL must start with http:// or https://";
    const std::string malformed = "Malformed URL " + text::Printable(url);
    for (const char c : url) {
        const auto b = static_cast<unsigned char>(c);
        // These would end the request line or forge headers.
        if (b <= 32 || b == 127)
            return malformed;
    }
    GlobalInit();
    const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return malformed;
    // Credentials in the URL would be sent to whoever answers and shown in every message.
    if (!UrlPart(parsed.get(), CURLUPART_USER).empty() || UrlPart(parsed.get(), CURLUPART_HOST).empty())
        return malformed;
    const std::string port = UrlPart(parsed.get(), CURLUPART_PORT);
    if (!port.empty() && (std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535))
        return malformed;
    return FamilyProblem(UrlPart(parsed.get(), CURLUPART_HOST), family);
}

namespace {

HttpResult Exchange(const std::string& url, const std::string* postBody, const platform::Clock& clock,
                    const HttpGetOptions& options, const std::function<void(const std::string&)>& log) {
    if (const std::string problem = UrlProblem(url, options.family); !problem.empty())
        throw EHttpBadUrl(problem);
    const std::int64_t deadline = clock.DeadlineAfter(options.timeoutMs);
    // What libcurl's callbacks and settings point at outlives both handles: their clean-up may still close
    // connections and call back.
    Transfer t(clock, options.maxBodyBytes);
    char error[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    std::string trustBytes;
    const std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!multi || !easy)
        throw EHttpConnectionFailed("Cannot start the HTTP library");
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, OnSocket);
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, &t);
    curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, OnTimer);
    curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, &t);

    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // A name look-up still running when the fetch ends is left to finish on its own thread, instead of
    // holding up the program's stop.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Redirects are followed here, one at a time, so that each target is checked before it is asked.
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, kUserAgent);
    // Every coding libcurl can undo; the body limit counts the decoded bytes.
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::min(options.connectTimeoutMs, options.timeoutMs)));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    if (!options.environmentProxy)
        curl_easy_setopt(e, CURLOPT_PROXY, "");
    // On the handle, so that every hop of the redirects keeps to the family.
    curl_easy_setopt(e, CURLOPT_IPRESOLVE,
                     options.family == IpFamily::IPv4Only   ? CURL_IPRESOLVE_V4
                     : options.family == IpFamily::IPv6Only ? CURL_IPRESOLVE_V6
                                                            : CURL_IPRESOLVE_WHATEVER);
    const auto addHeader = [&headers](const char* line) {
        curl_slist* longer = curl_slist_append(headers.get(), line);
        if (longer) {
            headers.release();
            headers.reset(longer);
        }
    };
    bool ownAccept = false;
    for (const std::string& line : options.headers) {
        // A line break inside would start a header, or the body, of the program's choosing.
        if (std::any_of(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }))
            throw EHttpBadUrl("Malformed header for " + text::Printable(url));
        ownAccept = ownAccept || StartsWithNoCase(line, "Accept:");
        addHeader(line.c_str());
    }
    if (!ownAccept)
        addHeader("Accept: text/plain, text/html");
    if (postBody) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, static_cast<long>(postBody->size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, postBody->data());
        // The body is small and the answer is what matters: no wait for a "100 Continue".
        addHeader("Expect:");
    }
    if (options.noCache) {
        // A proxy or the host's own cache must ask the origin: a stale copy is what we look for.
        addHeader("Cache-Control: no-cache");
        addHeader("Pragma: no-cache");
    }
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
    SetTrust(e, options, trustBytes);

    std::string current = url;
    for (int redirects = 0;; ++redirects) {
        const std::string shown = text::Printable(current);
        t.Reset();
        error[0] = '\0';
        curl_easy_setopt(e, CURLOPT_URL, current.c_str());
        // libcurl's own bound as well as ours: it covers the name look-up on its resolver thread.
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS,
                         static_cast<long>(std::max(clock.MillisecondsLeft(deadline), 1)));
        if (log)
            log((postBody ? "POST " : "GET ") + shown +
                (options.family == IpFamily::Any
                     ? ""
                     : std::string(" over ") + FamilyName(options.family) + " only"));
        const CURLcode code = Run(multi.get(), e, t, deadline, shown, options.timeoutMs);
        long status = 0;
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
        if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && t.truncated))
            RaiseFailure(code, t, current, error, options.timeoutMs,
                         code == CURLE_OPERATION_TIMEDOUT && clock.Passed(deadline - 50), status != 0,
                         options.family);
        if (log) {
            log("HTTP " + std::to_string(status) + " " + text::Printable(t.reason) + ", " +
                std::to_string(t.body.size()) + " bytes of body" +
                (t.truncated ? " (cut at the limit)" : "") + ", " + std::to_string(t.received) +
                " bytes received");
        }
        char* location = nullptr;
        curl_easy_getinfo(e, CURLINFO_REDIRECT_URL, &location);
        if (IsRedirect(status) && location && !options.anyStatus) {
            const std::string next = location;
            if (redirects == kHttpMaxRedirects)
                throw EHttpRedirectRefused("Too many redirects from " + text::Printable(url));
            const std::string scheme = SchemeOf(next);
            const std::string refused =
                "Redirect from " + shown + " to " + text::Printable(next) + " refused: ";
            if (scheme != "http" && scheme != "https")
                throw EHttpRedirectRefused(refused + "only http:// and https:// URLs can be asked");
            // What was asked over TLS is never asked again in clear.
            if (scheme == "http" && SchemeOf(current) == "https")
                throw EHttpRedirectRefused(refused + "https:// is never followed to http://");
            if (const std::string problem = UrlProblem(next, options.family); !problem.empty())
                throw EHttpRedirectRefused(refused + problem);
            if (log)
                log("redirected to " + text::Printable(next));
            current = next;
            continue;
        }
        if (status != 200 && !options.anyStatus) {
            const std::string reason = t.reason.empty() ? "" : " " + text::Printable(t.reason);
            throw EHttpStatus(static_cast<int>(status),
                              "HTTP " + std::to_string(status) + reason + " from " + shown);
        }
        if (t.truncated && options.refuseLongerAnswer)
            throw EHttpAnswerTooLarge("HTTP answer from " + shown + " too large");
        HttpResult result{current, std::move(t.body), t.truncated, static_cast<int>(status)};
        if (result.truncated)
            DropCutTail(result.body);
        return result;
    }
}

}  // namespace

HttpResult HttpGet(const std::string& url, const platform::Clock& clock, const HttpGetOptions& options,
                   const std::function<void(const std::string&)>& log) {
    return Exchange(url, nullptr, clock, options, log);
}

HttpResult HttpPost(const std::string& url, const std::string& body, const platform::Clock& clock,
                    const HttpGetOptions& options, const std::function<void(const std::string&)>& log) {
    return Exchange(url, &body, clock, options, log);
}

}  // namespace signposter::http
