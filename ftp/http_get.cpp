#include "ftp/http_get.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "ftp/id_tcp_client.h"
#include "ftp/tls_channel.h"
#include "platform/text.h"

namespace signposter::ftp {

namespace {

// A chunk-size line is a few hex digits and perhaps an extension; anything this long is garbage.
constexpr std::size_t kMaxChunkLineBytes = 1024;
// Eight hex digits give 4 GiB, far beyond the body limit; more digits only serve to overflow.
constexpr std::size_t kMaxChunkSizeDigits = 8;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           text::UpperAscii(text.substr(0, prefix.size())) == text::UpperAscii(prefix);
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string TrimSpaceTab(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return std::string(s);
}

bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The end of the first line in `buffer` and the length of its line end (CR LF or a bare LF).
std::optional<std::pair<std::size_t, std::size_t>> FindLineEnd(const std::string& buffer,
                                                               std::size_t from = 0) {
    const std::size_t lf = buffer.find('\n', from);
    if (lf == std::string::npos)
        return std::nullopt;
    if (lf > from && buffer[lf - 1] == '\r')
        return std::make_pair(lf - 1, std::size_t{2});
    return std::make_pair(lf, std::size_t{1});
}

}  // namespace

std::string HttpUrl::Text() const {
    const int defaultPort = tls ? 443 : 80;
    return (tls ? "https://" : "http://") + host + (port == defaultPort ? std::string() : ":" + std::to_string(port)) +
           path;
}

HttpUrl ParseHttpUrl(std::string_view url, bool allowHttps) {
    const std::string shown = text::Printable(url);
    const bool tls = StartsWithNoCase(url, "https://");
    if (tls && !allowHttps)
        throw EIdHTTPBadURL("Address URL must start with http://");
    if (!tls && !StartsWithNoCase(url, "http://"))
        throw EIdHTTPBadURL(allowHttps ? "URL must start with http:// or https://" : "Address URL must start with http://");
    for (const char c : url) {
        const auto b = static_cast<unsigned char>(c);
        // These would end the request line or forge headers.
        if (b <= 32 || b == 127)
            throw EIdHTTPBadURL("Malformed address URL " + shown);
    }
    std::string_view rest = url.substr(tls ? 8 : 7);
    const std::size_t pathStart = std::min(rest.find('/'), rest.find('?'));
    std::string_view authority = rest.substr(0, pathStart);
    HttpUrl result;
    result.tls = tls;
    result.port = tls ? 443 : 80;
    if (pathStart != std::string_view::npos) {
        result.path = std::string(rest.substr(pathStart));
        if (result.path.front() == '?')
            result.path.insert(0, "/");
    }
    const std::size_t fragment = result.path.find('#');
    if (fragment != std::string::npos)
        result.path.resize(fragment);
    if (authority.find('@') != std::string_view::npos || authority.empty() || authority.front() == '[')
        throw EIdHTTPBadURL("Malformed address URL " + shown);
    const std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view portText = authority.substr(colon + 1);
        int port = 0;
        for (const char c : portText) {
            if (c < '0' || c > '9' || port > 65535)
                throw EIdHTTPBadURL("Malformed address URL " + shown);
            port = port * 10 + (c - '0');
        }
        if (portText.empty() || port < 1 || port > 65535)
            throw EIdHTTPBadURL("Malformed address URL " + shown);
        result.port = port;
        authority = authority.substr(0, colon);
    }
    if (authority.empty())
        throw EIdHTTPBadURL("Malformed address URL " + shown);
    result.host = std::string(authority);
    return result;
}

void HttpAnswerParser::Malformed() const {
    throw EIdHTTPMalformedAnswer("Malformed HTTP answer from " + text::Printable(m_source));
}

void HttpAnswerParser::ParseHead(std::string_view head) {
    std::vector<std::string> lines = text::SplitLines(head);
    // SplitLines treats a lone CR as a line end too; a header line holding one is malformed anyway.
    if (lines.empty())
        Malformed();
    const std::string& status = lines.front();
    // "HTTP/1.1 200 OK": version, a space, three digits, then a space and the reason or nothing.
    if (status.size() < 12 || status.compare(0, 5, "HTTP/") != 0 ||
        !std::isdigit(static_cast<unsigned char>(status[5])) || status[6] != '.' ||
        !std::isdigit(static_cast<unsigned char>(status[7])) || status[8] != ' ')
        Malformed();
    for (int i = 9; i < 12; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(status[static_cast<std::size_t>(i)])))
            Malformed();
    }
    if (status.size() > 12 && status[12] != ' ')
        Malformed();
    m_status = std::stoi(status.substr(9, 3));
    if (m_status < 100)
        Malformed();
    m_reason = status.size() > 13 ? status.substr(13) : std::string();
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::size_t colon = line.find(':');
        // Folded continuation lines are obsolete and a way to smuggle headers: refuse them.
        if (colon == std::string::npos || colon == 0 || line.front() == ' ' || line.front() == '\t')
            Malformed();
        const std::string name = LowerAscii(std::string_view(line).substr(0, colon));
        const std::string value = TrimSpaceTab(std::string_view(line).substr(colon + 1));
        if (name == "content-length") {
            if (value.empty() || value.size() > 18 ||
                value.find_first_not_of("0123456789") != std::string::npos)
                Malformed();
            const std::uint64_t length = std::stoull(value);
            // Two different lengths: which one ends the body is anybody's guess.
            if (m_contentLength && *m_contentLength != length)
                Malformed();
            m_contentLength = length;
        } else if (name == "transfer-encoding") {
            const std::string lower = LowerAscii(value);
            m_chunked = lower.size() >= 7 && lower.compare(lower.size() - 7, 7, "chunked") == 0;
            if (!m_chunked)
                Malformed();  // we asked for no coding and cannot undo one
        } else if (name == "location") {
            m_location = value;
        }
    }
}

void HttpAnswerParser::AppendBody(std::string_view bytes) {
    const std::size_t room = m_maxBodyBytes - m_body.size();
    m_body.append(bytes.substr(0, room));
    if (bytes.size() > room)
        m_truncated = true;
    if (m_truncated) {
        // The cut may have split an address ("100.63.0.51" read as "100.63.0.5"): drop what touches it.
        while (!m_body.empty() &&
               (std::isdigit(static_cast<unsigned char>(m_body.back())) || m_body.back() == '.'))
            m_body.pop_back();
        m_state = State::Done;
    }
}

bool HttpAnswerParser::Step() {
    switch (m_state) {
        case State::Head: {
            std::size_t from = 0;
            for (;;) {
                const auto end = FindLineEnd(m_pending, from);
                if (!end)
                    break;
                const std::size_t next = end->first + end->second;
                if (end->first == from && from > 0) {
                    ParseHead(std::string_view(m_pending).substr(0, from));
                    m_pending.erase(0, next);
                    if (m_status != 200) {
                        m_state = State::Done;
                    } else if (m_chunked) {
                        m_state = State::ChunkSize;
                    } else {
                        m_state = State::Body;
                        if (m_contentLength && *m_contentLength == 0)
                            m_state = State::Done;
                    }
                    return true;
                }
                if (end->first == 0 && from == 0)
                    Malformed();  // an answer starting with an empty line has no status line
                from = next;
            }
            if (m_pending.size() > kHttpMaxHeaderBytes)
                throw EIdHTTPAnswerTooLarge("HTTP answer from " + text::Printable(m_source) + " too large");
            return false;
        }
        case State::Body: {
            if (m_pending.empty())
                return false;
            std::string_view take = m_pending;
            if (m_contentLength) {
                const std::uint64_t left = *m_contentLength - (m_body.size());
                take = take.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(left, take.size())));
            }
            AppendBody(take);
            m_pending.erase(0, take.size());
            if (m_state != State::Done && m_contentLength && m_body.size() == *m_contentLength)
                m_state = State::Done;
            return m_state == State::Done;
        }
        case State::ChunkSize: {
            const auto end = FindLineEnd(m_pending);
            if (!end) {
                if (m_pending.size() > kMaxChunkLineBytes)
                    Malformed();
                return false;
            }
            std::string_view line = std::string_view(m_pending).substr(0, end->first);
            line = line.substr(0, line.find(';'));
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
            if (line.empty() || line.size() > kMaxChunkSizeDigits || end->first > kMaxChunkLineBytes)
                Malformed();
            std::uint64_t size = 0;
            for (const char c : line) {
                const int digit = text::HexDigitValue(c);
                if (digit < 0)
                    Malformed();
                size = size * 16 + static_cast<std::uint64_t>(digit);
            }
            m_pending.erase(0, end->first + end->second);
            // The last chunk ends the body; trailers after it tell us nothing.
            m_state = size == 0 ? State::Done : State::ChunkData;
            m_chunkLeft = size;
            return true;
        }
        case State::ChunkData: {
            if (m_pending.empty())
                return false;
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_chunkLeft, m_pending.size()));
            AppendBody(std::string_view(m_pending).substr(0, take));
            m_pending.erase(0, take);
            m_chunkLeft -= take;
            if (m_state != State::Done && m_chunkLeft == 0)
                m_state = State::ChunkEnd;
            return true;
        }
        case State::ChunkEnd: {
            if (m_pending.size() < 2 && !(m_pending.size() == 1 && m_pending[0] == '\n'))
                return false;
            if (m_pending.compare(0, 2, "\r\n") == 0) {
                m_pending.erase(0, 2);
            } else if (m_pending[0] == '\n') {
                m_pending.erase(0, 1);
            } else {
                Malformed();
            }
            m_state = State::ChunkSize;
            return true;
        }
        case State::Done:
            return false;
    }
    return false;
}

bool HttpAnswerParser::Feed(std::string_view bytes) {
    if (m_state == State::Done)
        return true;
    m_pending.append(bytes);
    while (m_state != State::Done && Step()) {
    }
    // What arrives after the end is not ours to read.
    if (m_state == State::Done)
        m_pending.clear();
    return m_state == State::Done;
}

void HttpAnswerParser::EndOfStream() {
    if (m_state == State::Done)
        return;
    // Only a body without a length may end with the stream; anything else was cut short, and a cut body
    // can hold a cut address.
    if (m_state == State::Body && !m_contentLength) {
        m_state = State::Done;
        return;
    }
    Malformed();
}

namespace {

// One request and its answer on a fresh connection.
HttpAnswerParser Exchange(const HttpUrl& url, const platform::Clock& clock, std::int64_t deadline,
                          const HttpGetOptions& options, const std::function<void(const std::string&)>& log) {
    const std::string shown = url.Text();
    TIdTCPClient client;
    client.SetClock(clock);
    client.SetHost(url.host);
    client.SetPort(url.port);
    const auto left = [&] { return std::max(clock.MillisecondsLeft(deadline), 1); };
    client.SetConnectTimeout(std::min(kHttpConnectTimeoutMs, left()));
    if (log)
        log("GET " + text::Printable(shown));
    client.ConnectToHost();
    CloseOnFailure closer(client);
    std::unique_ptr<TlsContext> tls;
    if (url.tls) {
        // The system store and the trust file, with the host's name checked: the page a visitor's browser
        // would accept, and no other.
        TlsSettings settings;
        settings.security = FtpSecurity::ExplicitTLS;
        settings.trustFile = options.tlsTrustFile;
        tls = std::make_unique<TlsContext>(settings);
        client.Socket().StartTls(*tls, url.host, nullptr, "", left());
    }
    std::string request = "GET " + url.path + " HTTP/1.1\r\nHost: " + url.host +
                          (url.port == (url.tls ? 443 : 80) ? std::string() : ":" + std::to_string(url.port)) +
                          "\r\nUser-Agent: Signposter/1.0\r\nAccept: text/plain, text/html\r\n";
    for (const std::string& header : options.extraHeaders) request += header + "\r\n";
    request += "Connection: close\r\n\r\n";
    client.SetSendTimeout(left());
    client.WriteText(request);

    HttpAnswerParser parser(shown, options.maxBodyBytes);
    std::size_t received = 0;
    while (!parser.Complete()) {
        if (clock.Passed(deadline)) {
            throw EIdReplyTimeout("No complete HTTP answer from " + text::Printable(shown) + " within " +
                                  std::to_string(options.timeoutMs) + " ms");
        }
        const int n = client.FillInput(false, clock.MillisecondsLeft(deadline));
        if (!client.InputBuffer().empty()) {
            received += client.InputBuffer().size();
            parser.Feed(client.TakeInput(static_cast<int>(client.InputBuffer().size())));
        } else if (n == 0 && client.PeerClosed()) {
            parser.EndOfStream();
        }
    }
    client.CloseConnection();
    if (log) {
        log("HTTP " + std::to_string(parser.Status()) + " " + text::Printable(parser.Reason()) + ", " +
            std::to_string(parser.Body().size()) + " bytes of body" +
            (parser.Truncated() ? " (cut at the limit)" : "") + ", " + std::to_string(received) +
            " bytes received");
    }
    return parser;
}

HttpUrl ResolveLocation(const HttpUrl& base, const std::string& location, bool allowHttps) {
    if (StartsWithNoCase(location, "https://") && !allowHttps)
        throw EIdHTTPRedirectRefused("Redirect from " + text::Printable(base.Text()) + " to " +
                                     text::Printable(location) + " refused: only http:// URLs can be asked");
    if (StartsWithNoCase(location, "http://") || StartsWithNoCase(location, "https://"))
        return ParseHttpUrl(location, allowHttps);
    if (location.compare(0, 2, "//") == 0)
        return ParseHttpUrl((base.tls ? "https:" : "http:") + location, allowHttps);
    HttpUrl next = base;
    if (!location.empty() && location.front() == '/') {
        next.path = location;
    } else {
        const std::size_t query = next.path.find('?');
        const std::string directory = next.path.substr(0, next.path.rfind('/', query) + 1);
        next.path = directory + location;
    }
    // Checks the combined text the way a URL from the settings is checked.
    return ParseHttpUrl(next.Text(), allowHttps);
}

}  // namespace

HttpResult HttpGet(const std::string& url, const platform::Clock& clock,
                   const std::function<void(const std::string&)>& log) {
    return HttpGet(url, clock, HttpGetOptions{}, log);
}

HttpResult HttpGet(const std::string& url, const platform::Clock& clock, const HttpGetOptions& options,
                   const std::function<void(const std::string&)>& log) {
    const std::int64_t deadline = clock.DeadlineAfter(options.timeoutMs);
    HttpUrl current = ParseHttpUrl(url, options.allowHttps);
    for (int redirects = 0;; ++redirects) {
        const HttpAnswerParser answer = Exchange(current, clock, deadline, options, log);
        const std::string shown = text::Printable(current.Text());
        if (IsRedirect(answer.Status()) && !answer.Location().empty()) {
            if (redirects == kHttpMaxRedirects)
                throw EIdHTTPRedirectRefused("Too many redirects from " + text::Printable(url));
            current = ResolveLocation(current, answer.Location(), options.allowHttps);
            if (log)
                log("redirected to " + text::Printable(current.Text()));
            continue;
        }
        if (answer.Status() != 200) {
            const std::string reason = answer.Reason().empty() ? "" : " " + text::Printable(answer.Reason());
            throw EIdHTTPStatus(answer.Status(),
                                "HTTP " + std::to_string(answer.Status()) + reason + " from " + shown);
        }
        return {current.Text(), answer.Body(), answer.Truncated()};
    }
}

}  // namespace signposter::ftp
