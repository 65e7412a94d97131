#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/id_exceptions.h"
#include "platform/clock.h"

// A small HTTP/1.1 client for one GET of a short page (the echo of our address), over the FTP client's
// socket layer: the same bounds, errno mapping and exception family.
namespace signposter::ftp {

SIGNPOSTER_EXCEPTION_CLASS(EIdHTTPError, EIdException);              // "HTTP %d %s from %s"
SIGNPOSTER_EXCEPTION_CLASS(EIdHTTPMalformedAnswer, EIdHTTPError);    // "Malformed HTTP answer from %s"
SIGNPOSTER_EXCEPTION_CLASS(EIdHTTPAnswerTooLarge, EIdHTTPError);     // "HTTP answer from %s too large"
SIGNPOSTER_EXCEPTION_CLASS(EIdHTTPBadURL, EIdHTTPError);             // the URL cannot be asked
SIGNPOSTER_EXCEPTION_CLASS(EIdHTTPRedirectRefused, EIdHTTPError);    // too many redirects, or to https

// A status other than 200; the message is "HTTP %d %s from %s".
class EIdHTTPStatus : public EIdHTTPError {
public:
    EIdHTTPStatus(int status, std::string message) : EIdHTTPError(std::move(message)), m_status(status) {}
    const char* ClassName() const noexcept override { return "EIdHTTPStatus"; }
    int Status() const noexcept { return m_status; }

private:
    int m_status;
};

// Bounds of one GET. A web page that echoes an address answers in well under a second; a second
// more covers a slow link. The whole exchange, redirects included, stays within what one monitor tick
// can afford to block.
inline constexpr int kHttpConnectTimeoutMs = 3000;
inline constexpr int kHttpExchangeTimeoutMs = 5000;
// Status line and headers: real servers send under 1 KiB; 16 KiB is the usual server limit for requests.
inline constexpr std::size_t kHttpMaxHeaderBytes = 16 * 1024;
// An echo page is a line or a small HTML page; what lies beyond 64 KiB is not read.
inline constexpr std::size_t kHttpMaxBodyBytes = 64 * 1024;
// Redirects followed: an echo service may move once or twice; more is a loop.
inline constexpr int kHttpMaxRedirects = 3;

struct HttpUrl {
    std::string host;
    int port = 80;
    std::string path = "/";  // with the query
    bool tls = false;          // https://
    std::string Text() const;  // the URL as asked, for messages
};

// http:// URLs, and https:// ones when `allowHttps`; otherwise the URL raises "Address URL must start with
// http://" (the address source's wording, which takes http only). The host is a name or a dotted quad;
// control bytes, spaces and user information are refused.
HttpUrl ParseHttpUrl(std::string_view url, bool allowHttps = false);

// How one GET may differ from the address echo's: the published page is larger, a web host may be slower,
// and caches between us and it must be told to ask the origin.
struct HttpGetOptions {
    int timeoutMs = kHttpExchangeTimeoutMs;  // the whole exchange, redirects included
    std::size_t maxBodyBytes = kHttpMaxBodyBytes;
    std::vector<std::string> extraHeaders;  // whole header lines without their line end
    bool allowHttps = false;                // https:// through the TLS layer, also as a redirect target
    std::string tlsTrustFile;               // PEM certificates trusted besides the system's
};

// Reads one HTTP/1.1 answer from bytes as they arrive. Raises the family's errors with `source` (the URL)
// in the message. Fed by the socket in HttpGet and by the fuzzer directly.
class HttpAnswerParser {
public:
    explicit HttpAnswerParser(std::string source, std::size_t maxBodyBytes = kHttpMaxBodyBytes)
        : m_source(std::move(source)), m_maxBodyBytes(maxBodyBytes) {}

    // Takes the next bytes; true once the answer is complete (headers of a status that has no body for
    // us, the body's end, or the body limit reached).
    bool Feed(std::string_view bytes);
    // The peer closed: ends a body read to the end of the stream; raises when the answer is cut short.
    void EndOfStream();

    bool Complete() const { return m_state == State::Done; }
    bool HeadersDone() const { return m_state != State::Head; }
    int Status() const { return m_status; }
    const std::string& Reason() const { return m_reason; }  // as sent: escape it before showing it
    const std::string& Location() const { return m_location; }
    // Up to the body limit; when the limit cut it, without a trailing run of digits and dots that the
    // cut may have split.
    const std::string& Body() const { return m_body; }
    bool Truncated() const { return m_truncated; }

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkEnd, Done };
    [[noreturn]] void Malformed() const;
    void ParseHead(std::string_view head);
    void AppendBody(std::string_view bytes);
    bool Step();

    std::string m_source;
    std::size_t m_maxBodyBytes;
    State m_state = State::Head;
    std::string m_pending;
    int m_status = 0;
    std::string m_reason;
    std::string m_location;
    bool m_chunked = false;
    std::optional<std::uint64_t> m_contentLength;
    std::uint64_t m_chunkLeft = 0;
    std::string m_body;
    bool m_truncated = false;
};

struct HttpResult {
    std::string url;  // the URL that answered, after redirects
    std::string body;
    bool truncated = false;
};

// One GET of `url`, following up to kHttpMaxRedirects redirects, every wait on `clock`. Only status 200 is
// an answer; everything else raises an error of the family. `log` sees the steps (request, status, bytes),
// network text escaped.
HttpResult HttpGet(const std::string& url, const platform::Clock& clock,
                   const std::function<void(const std::string&)>& log = {});
HttpResult HttpGet(const std::string& url, const platform::Clock& clock, const HttpGetOptions& options,
                   const std::function<void(const std::string&)>& log = {});

}  // namespace signposter::ftp
