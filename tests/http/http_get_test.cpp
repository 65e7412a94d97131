// The HTTP client against a scripted server (the answers no real server gives, redirects, the stop request)
// and nginx (http and https with a local authority).
#include "http/http_get.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "ftp/test_certificates.h"
#include "platform/lazy_library.h"
#include "platform/stop_request.h"
#include "support/nginx_server.h"
#include "support/private_network.h"
#include "support/scoped_environment.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

namespace signposter::http {
namespace {

using namespace signposter::testing;

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Redirect(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

// The body, or the class and message of what was raised.
std::string Get(const std::string& url, const HttpGetOptions& options = {},
                const platform::Clock& clock = platform::MachineClock()) {
    try {
        return HttpGet(url, clock, options).body;
    } catch (const Exception& error) {
        return std::string(error.ClassName()) + ": " + error.Message();
    }
}

std::string Gzip(const std::string& bytes) {
    TempDir dir;
    WriteFile(dir.File("plain"), bytes);
    std::string out;
    FILE* pipe = ::popen(("gzip -c " + dir.File("plain")).c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pipe)
        ::pclose(pipe);
    return out;
}

std::string Chunked(const std::string& bytes) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", bytes.size());
    return std::string(size) + "\r\n" + bytes + "\r\n0\r\n\r\n";
}

// The libraries are opened when first used: one that is missing, or too old to have a function we call, is
// told in words at the load, not at the call.
TEST(LazyLibraryTest, AMissingOrTooOldLibraryIsToldInWords) {
    using platform::LazyLibrary;
    LazyLibrary missing("/nonexistent/libssh.so.4", "SFTP needs libssh (package libssh-4)", nullptr, 0);
    EXPECT_EQ(missing.Load(), "SFTP needs libssh (package libssh-4)");
    EXPECT_NE(missing.Detail().find("/nonexistent/libssh.so.4"), std::string::npos) << missing.Detail();

    std::atomic<void*> present{nullptr}, absent{nullptr};
    const LazyLibrary::Symbol symbols[] = {{"strlen", &present}, {"signposter_no_such_function", &absent}};
    LazyLibrary old("libc.so.6", "C needs libc (package libc6)", symbols, 2);
    EXPECT_EQ(old.Load(),
              "C needs libc (package libc6): the installed libc.so.6 is too old (it has no "
              "signposter_no_such_function)");
    EXPECT_EQ(absent.load(), nullptr);
    EXPECT_EQ(platform::LoadCurl(), "");
}

TEST(HttpGetTest, RequestAndAnswersOfAScriptedServer) {
    ScriptedHttpServer server;
    const std::string base = server.Url("");
    const std::string gzipped = Gzip("your address is 100.63.0.7\n");
    const std::pair<const char*, std::string> answers[] = {
        {"/plain", Ok("100.63.0.5\n")},
        {"/chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;x=y\r\n100.\r\n6\r\n63.0.7\r\n0\r\n\r\n"},
        // Decoded, where the old client read the compressed bytes as the body.
        {"/gzip", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n" + Chunked(gzipped)},
        {"/compressed", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                            std::to_string(gzipped.size()) + "\r\n\r\n" + gzipped},
        {"/close", "HTTP/1.0 200 OK\n\n<b>100.63.0.8</b>"},
        {"/nostatus", "100.63.0.1\r\n\r\n"},
        {"/missing", "HTTP/1.1 404 Not Found\r\n\r\n"},
        {"/escape", "HTTP/1.1 500 \x1b[2J\r\nContent-Length: 0\r\n\r\n"},
        {"/huge", "HTTP/1.1 200 OK\r\nX: " + std::string(64 * 1024, 'h') + "\r\n\r\n100.63.0.1"},
        {"/badchunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n100.63.0.1\r\n0\r\n\r\n"},
        {"/cut", "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n100.63.0.5"},
        {"/badgzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 10\r\n\r\n100.63.0.5"},
    };
    for (const auto& [path, bytes] : answers) server.Script(path, {bytes});
    const std::pair<const char*, std::string> expected[] = {
        {"/plain", "100.63.0.5\n"},
        {"/chunked", "100.63.0.7"},
        {"/gzip", "your address is 100.63.0.7\n"},
        {"/compressed", "your address is 100.63.0.7\n"},
        {"/close", "<b>100.63.0.8</b>"},
        {"/nostatus", "EHttpMalformedAnswer: Malformed HTTP answer from " + base + "/nostatus"},
        {"/missing", "EHttpStatus: HTTP 404 Not Found from " + base + "/missing"},
        {"/escape", "EHttpStatus: HTTP 500 \\x1b[2J from " + base + "/escape"},
        {"/huge", "EHttpAnswerTooLarge: HTTP answer from " + base + "/huge too large"},
        {"/badchunk", "EHttpMalformedAnswer: Malformed HTTP answer from " + base + "/badchunk"},
        {"/cut", "EHttpMalformedAnswer: Malformed HTTP answer from " + base + "/cut"},
        {"/badgzip", "EHttpMalformedAnswer: Malformed HTTP answer from " + base + "/badgzip"},
    };
    for (const auto& [path, result] : expected) EXPECT_EQ(Get(server.Url(path)), result) << path;

    const std::string head = server.Requests().front();
    for (const std::string& line : std::vector<std::string>{
             "GET /plain HTTP/1.1\r\n", "\r\nHost: 127.0.0.1:" + std::to_string(server.Port()),
             "\r\nUser-Agent: Signposter/1.0\r\n", "\r\nAccept: text/plain, text/html\r\n",
             "\r\nAccept-Encoding: "})
        EXPECT_NE(head.find(line), std::string::npos) << line << " in " << head;
    EXPECT_EQ(head.find("no-cache"), std::string::npos) << head;
    HttpGetOptions verification;
    verification.noCache = true;
    Get(server.Url("/plain"), verification);
    EXPECT_NE(server.Requests().back().find("\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"),
              std::string::npos)
        << server.Requests().back();

    // An endless body is read to the limit, without an address the cut may have split.
    server.Script("/endless", {"HTTP/1.1 200 OK\r\n\r\nat 100.63.0.9 and 100.63.0.1", true});
    HttpGetOptions small;
    small.maxBodyBytes = 25;
    const HttpResult cut = HttpGet(server.Url("/endless"), platform::MachineClock(), small);
    EXPECT_TRUE(cut.truncated);
    EXPECT_EQ(cut.body, "at 100.63.0.9 and ");
}

TEST(HttpGetTest, RedirectsAreResolvedAndOnlyHttpIsFollowed) {
    ScriptedHttpServer server;
    const std::string base = server.Url("");
    server.Script("/a/b/start", {Redirect("../c/next?x=1&y=/z")});
    server.Script("/a/c/next?x=1&y=/z", {Redirect("?page=2")});
    server.Script("/a/c/next?page=2", {Ok("100.63.0.5\n")});
    server.Script("/loop", {Redirect("/loop")});
    server.Script("/file", {Redirect("file:///etc/passwd")});
    server.Script("/ftp", {Redirect("ftp://127.0.0.1/ip")});
    server.Script("/js", {Redirect("javascript:alert(1)")});
    server.Script("/nolocation", {"HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n"});
    std::vector<std::string> steps;
    const HttpResult followed = HttpGet(server.Url("/a/b/start"), platform::MachineClock(), {},
                                        [&steps](const std::string& step) { steps.push_back(step); });
    EXPECT_EQ(followed.body, "100.63.0.5\n");
    EXPECT_EQ(followed.url, base + "/a/c/next?page=2");
    EXPECT_EQ(steps.at(2), "redirected to " + base + "/a/c/next?x=1&y=/z");
    EXPECT_EQ(Get(server.Url("/loop")), "EHttpRedirectRefused: Too many redirects from " + base + "/loop");
    for (const auto& [path, target] :
         {std::pair{"/file", "file:///etc/passwd"}, std::pair{"/ftp", "ftp://127.0.0.1/ip"},
          std::pair{"/js", "javascript:alert(1)"}})
        EXPECT_EQ(Get(server.Url(path)), "EHttpRedirectRefused: Redirect from " + base + path + " to " +
                                             target +
                                             " refused: only http:// and https:// URLs can be asked");
    EXPECT_EQ(Get(server.Url("/nolocation")), "EHttpStatus: HTTP 302 Found from " + base + "/nolocation");
    // Nothing but the scripted paths was asked: no hop went anywhere else.
    for (const std::string& request : server.Requests())
        EXPECT_EQ(request.find("/etc/passwd"), std::string::npos);

    const std::pair<std::string, std::string> refusedUrls[] = {
        {"ftp://127.0.0.1/ip", "EHttpBadUrl: URL must start with http:// or https://"},
        {"http://127.0.0.1/a b\r\nX: y", "EHttpBadUrl: Malformed URL http://127.0.0.1/a b\\x0d\\x0aX: y"},
        {"http://user@127.0.0.1/", "EHttpBadUrl: Malformed URL http://user@127.0.0.1/"},
        {"http://127.0.0.1:99999/", "EHttpBadUrl: Malformed URL http://127.0.0.1:99999/"},
        {"http://127.0.0.1:0/", "EHttpBadUrl: Malformed URL http://127.0.0.1:0/"},
    };
    for (const auto& [url, problem] : refusedUrls) EXPECT_EQ(Get(url), problem);
}

TEST(HttpGetTest, BoundsInRealTimeAndTheStopRequestEndsAFetchAtOnce) {
    ScriptedHttpServer server;
    server.Script("/silent", {"", false, true});
    HttpGetOptions shortBound;
    shortBound.timeoutMs = 400;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(server.Url("/silent"), shortBound),
              "EHttpTimeout: No complete HTTP answer from " + server.Url("/silent") + " within 400 ms");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(390));
    EXPECT_LT(took, std::chrono::milliseconds(1500));

    // The full exchange bound, ended by the stop request well before it.
    platform::StopRequest stop;
    const platform::SystemClock clock(&stop);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.Request();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(server.Url("/silent"), {}, clock), "EHttpStopped: Stopped.");
    took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_LT(took, std::chrono::seconds(1));
}

// `body` in a network of its own (support/private_network.h) whose name server, if the body starts one,
// waits long: "skip: why" when the namespaces cannot be had.
std::string InPrivateNetwork(const std::string& hosts, const std::function<std::string()>& body) {
    return testing::InPrivateNetwork(hosts, "options timeout:30 attempts:5\n", body)
        .value_or("skip: no private namespaces here (needs root)");
}

// A name server that never answers: the look-up counts against the exchange bound and the stop request
// ends it at once.
TEST(HttpGetTest, ANameLookUpIsBoundedAndStoppable) {
    const std::string outcome = InPrivateNetwork("127.0.0.1 localhost\n", [] {
        const std::string url = "http://nowhere.test/ip";
        // No name server at all: the look-up fails at once, and says so.
        const std::string failed = Get(url);
        const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in dns{};
        dns.sin_family = AF_INET;
        dns.sin_port = htons(53);
        dns.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(silent, reinterpret_cast<sockaddr*>(&dns), sizeof dns) != 0)
            return std::string("skip: no silent name server in the private network");
        HttpGetOptions shortBound;
        shortBound.timeoutMs = 700;
        auto start = std::chrono::steady_clock::now();
        std::string seen = failed + "|" + Get(url, shortBound);
        const auto bounded = std::chrono::steady_clock::now() - start;
        platform::StopRequest stop;
        const platform::SystemClock clock(&stop);
        std::thread stopper([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop.Request();
        });
        start = std::chrono::steady_clock::now();
        seen += "|" + Get(url, {}, clock);
        const auto stopped = std::chrono::steady_clock::now() - start;
        stopper.join();
        ::close(silent);
        using std::chrono::milliseconds;
        return seen + "|" + (bounded < milliseconds(1500) ? "bounded" : "late") + "|" +
               (stopped < milliseconds(1000) ? "stopped" : "late");
    });
    if (outcome.rfind("skip: ", 0) == 0)
        GTEST_SKIP() << outcome.substr(6);
    EXPECT_EQ(outcome,
              "EHttpConnectionFailed: Host name lookup failed for nowhere.test|"
              "EHttpTimeout: No complete HTTP answer from http://nowhere.test/ip within 700 ms|"
              "EHttpStopped: Stopped.|bounded|stopped");
}

// The echo tells each address only when asked over that family alone: a name with both kinds of address
// is reached over the family asked for, on every hop, and a literal of the other family is not asked.
TEST(HttpGetTest, AnAddressFamilyHoldsForEveryHop) {
    // The servers' threads end before the fork below: a child of a process with threads cannot start
    // its own under ThreadSanitizer.
    {
        ScriptedHttpServer four, six(true);
        if (!six.Listening())
            GTEST_SKIP() << "no ::1 here";
        HttpGetOptions only4, only6;
        only4.family = IpFamily::IPv4Only;
        only6.family = IpFamily::IPv6Only;
        six.Script("/ip", {Ok("2001:db8::5\n")});
        six.Script("/to4", {Redirect(four.Url("/ip"))});
        four.Script("/ip", {Ok("100.63.0.5\n")});
        EXPECT_EQ(Get(six.Url("/ip"), only6), "2001:db8::5\n");
        EXPECT_EQ(Get(six.Url("/to4")), "100.63.0.5\n");
        EXPECT_EQ(Get(six.Url("/ip"), only4),
                  "EHttpBadUrl: IPv6 address [::1] cannot be asked over IPv4 only");
        EXPECT_EQ(Get(four.Url("/ip"), only6),
                  "EHttpBadUrl: IPv4 address 127.0.0.1 cannot be asked over IPv6 only");
        const std::string mapped = "http://[::ffff:127.0.0.1]:" + std::to_string(four.Port()) + "/ip";
        EXPECT_EQ(Get(mapped, only6),
                  "EHttpBadUrl: IPv4-mapped address [::ffff:127.0.0.1] cannot be asked over IPv6 only");
        EXPECT_EQ(Get(six.Url("/to4"), only6),
                  "EHttpRedirectRefused: Redirect from " + six.Url("/to4") + " to " + four.Url("/ip") +
                      " refused: IPv4 address 127.0.0.1 cannot be asked over IPv6 only");
        EXPECT_EQ(four.Requests().size(), 1u);
    }

    const std::string outcome = InPrivateNetwork("127.0.0.1 both.test four.test\n::1 both.test\n", [] {
        ScriptedHttpServer inFour, inSix(true, inFour.Port());
        if (!inSix.Listening())
            return std::string("skip: no ::1 in the private network");
        const std::string base = "http://both.test:" + std::to_string(inFour.Port());
        for (ScriptedHttpServer* server : {&inFour, &inSix}) server->Script("/hop", {Redirect(base + "/ip")});
        inFour.Script("/ip", {Ok("four")});
        inSix.Script("/ip", {Ok("six")});
        HttpGetOptions v4, v6;
        v4.family = IpFamily::IPv4Only;
        v6.family = IpFamily::IPv6Only;
        const std::string onlyFour = "http://four.test:" + std::to_string(inFour.Port()) + "/ip";
        return onlyFour + "|" + Get(base + "/hop", v4) + "|" + Get(base + "/hop", v6) + "|" +
               Get(onlyFour, v6);
    });
    if (outcome.rfind("skip: ", 0) == 0)
        GTEST_SKIP() << outcome.substr(6);
    const std::string onlyFour = outcome.substr(0, outcome.find('|'));
    EXPECT_EQ(outcome, onlyFour + "|four|six|EHttpConnectionFailed: HTTP fetch of " + onlyFour +
                           " over IPv6 only failed: Couldn't connect to server");
}

TEST(HttpGetTest, EnvironmentProxiesServeVerificationOnly) {
    ScriptedHttpServer origin, proxy;
    origin.Script("/ip", {Ok("100.63.0.5\n")});
    proxy.Script(origin.Url("/ip"), {Ok("203.0.113.9\n")});
    const std::string proxyUrl = proxy.Url("");
    ScopedEnvironment http("http_proxy", proxyUrl.c_str());
    ScopedEnvironment all("ALL_PROXY", nullptr);
    ScopedEnvironment none("no_proxy", nullptr);
    ScopedEnvironment noneUpper("NO_PROXY", nullptr);
    EXPECT_EQ(Get(origin.Url("/ip")), "100.63.0.5\n");
    HttpGetOptions visitor;
    visitor.environmentProxy = true;
    EXPECT_EQ(Get(origin.Url("/ip"), visitor), "203.0.113.9\n");
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0].rfind("GET " + origin.Url("/ip") + " HTTP/1.1\r\n", 0), 0u);
}

TEST(HttpGetTest, AgainstNginxInClearAndOverTls) {
    if (!NginxServer::Installed())
        GTEST_SKIP() << "nginx-light with the echo module is not installed (scripts/setup installs it)";
    TempDir dir;
    const TestCertificate authority = MakeCertificate(dir.Path(), "ca");
    CertificateOptions otherName;
    otherName.commonName = "localhost";
    otherName.subjectAltName = "DNS:localhost";
    const TestCertificate wrongName = MakeCertificate(dir.Path(), "localhost", otherName);
    CertificateOptions secondAuthority;
    secondAuthority.commonName = "second authority";  // a subject of its own, as distinct authorities have
    const TestCertificate second = MakeCertificate(dir.Path(), "second", secondAuthority);
    const std::string echo =
        "  location = /ip { default_type text/html; return 200 \"<html>Current IP Address: "
        "$remote_addr</html>\\n\"; }\n  location = /slow { echo_sleep 20; echo \"100.63.0.6\"; }\n"
        "  location = /page { default_type text/plain; gzip on; gzip_min_length 1; gzip_types text/plain; "
        "return 200 \"the page\\n\"; }\n";
    // Sites: 0 in clear, 1 over TLS, 2 over TLS with a certificate for another name, 3 with another
    // authority.
    std::vector<NginxServer::Site> sites = {{"", "", echo},
                                            {authority.certFile, authority.keyFile, echo},
                                            {wrongName.certFile, wrongName.keyFile, echo},
                                            {second.certFile, second.keyFile, echo}};
    sites[0].locations += "  location = /up { return 302 https://127.0.0.1:$arg_port/ip; }\n";
    sites[1].locations += "  location = /down { return 302 http://127.0.0.1:$arg_port/ip; }\n";
    NginxServer nginx(sites);
    ASSERT_TRUE(nginx.Running());
    const std::string tlsPort = nginx.Url(1, "").substr(nginx.Url(1, "").rfind(':') + 1);
    const std::string plainPort = nginx.Url(0, "").substr(nginx.Url(0, "").rfind(':') + 1);
    HttpGetOptions trusted;
    trusted.tlsTrustFile = authority.certFile;

    EXPECT_EQ(Get(nginx.Url(0, "/ip")), "<html>Current IP Address: 127.0.0.1</html>\n");
    EXPECT_EQ(Get(nginx.Url(1, "/ip"), trusted), "<html>Current IP Address: 127.0.0.1</html>\n");
    EXPECT_EQ(Get(nginx.Url(1, "/page"), trusted), "the page\n");
    EXPECT_EQ(Get(nginx.Url(0, "/nothing")),
              "EHttpStatus: HTTP 404 Not Found from " + nginx.Url(0, "/nothing"));
    // Up to https is a redirect like any other; down to http never.
    EXPECT_EQ(Get(nginx.Url(0, "/up?port=" + tlsPort), trusted),
              "<html>Current IP Address: 127.0.0.1</html>\n");
    EXPECT_EQ(Get(nginx.Url(1, "/down?port=" + plainPort), trusted),
              "EHttpRedirectRefused: Redirect from " + nginx.Url(1, "/down?port=" + plainPort) + " to " +
                  nginx.Url(0, "/ip") + " refused: https:// is never followed to http://");

    // Certificates are always checked, with the reason given; the host's name too.
    EXPECT_EQ(Get(nginx.Url(1, "/ip")), "EHttpCertificateRejected: Server certificate of " +
                                            nginx.Url(1, "/ip") +
                                            " rejected: SSL certificate problem: self-signed certificate");
    HttpGetOptions otherTrusted;
    otherTrusted.tlsTrustFile = wrongName.certFile;
    const std::string mismatch = Get(nginx.Url(2, "/ip"), otherTrusted);
    EXPECT_EQ(
        mismatch.rfind("EHttpCertificateRejected: Server certificate of " + nginx.Url(2, "/ip") +
                           " rejected: SSL: no alternative certificate subject name matches target host name",
                       0),
        0u)
        << mismatch;
    HttpGetOptions fifo;
    fifo.tlsTrustFile = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.tlsTrustFile.c_str(), 0600), 0);
    EXPECT_EQ(Get(nginx.Url(1, "/ip"), fifo),
              "EHttpConnectionFailed: Cannot read TLS trust file " + fifo.tlsTrustFile);

    // The trust file adds to the system store rather than replacing it: with a stand-in store (SSL_CERT_DIR,
    // as OpenSSL reads it) that trusts a second authority, the file's authority and the store's both answer.
    EXPECT_NE(Get(nginx.Url(3, "/ip"), trusted).find("self-signed certificate"), std::string::npos);
    const std::string store = dir.File("store");
    std::filesystem::create_directory(store);
    std::filesystem::copy_file(second.certFile, store + "/second.pem");
    ASSERT_EQ(std::system(("openssl rehash " + store + " 2>/dev/null").c_str()), 0);
    ScopedEnvironment systemStore("SSL_CERT_DIR", store.c_str());
    EXPECT_EQ(Get(nginx.Url(3, "/ip"), trusted), "<html>Current IP Address: 127.0.0.1</html>\n");
    EXPECT_EQ(Get(nginx.Url(1, "/ip"), trusted), "<html>Current IP Address: 127.0.0.1</html>\n");

    // The one real-time test of nginx's own slowness: a page that takes 20 s, given up at the bound.
    HttpGetOptions shortBound;
    shortBound.timeoutMs = 600;
    EXPECT_EQ(Get(nginx.Url(0, "/slow"), shortBound),
              "EHttpTimeout: No complete HTTP answer from " + nginx.Url(0, "/slow") + " within 600 ms");
}

}  // namespace
}  // namespace signposter::http
