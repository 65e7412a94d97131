// The web source: the first IPv4 address of the echo page, or why there is none. The HTTP exchange itself is
// the HTTP client's test.
#include <gtest/gtest.h>

#include "core/address_source.h"
#include "support/scoped_environment.h"
#include "support/scripted_http_server.h"

namespace signposter {
namespace {

using namespace signposter::testing;

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

TEST(WebSourceTest, TheFirstAddressOfTheAnswerOrWhyThereIsNone) {
    ScriptedHttpServer server;
    const std::string base = server.Url("");
    const ProgramState state;
    // A proxy in the environment is never asked: it would echo its own address.
    ScopedEnvironment proxy("http_proxy", "http://127.0.0.1:1/");
    ScopedEnvironment noProxy("no_proxy", nullptr);
    struct Case {
        const char* path;
        std::string answer;
        const char* address;  // expected answer, or nullptr
        std::string reason;   // expected reason when there is none
    };
    const Case cases[] = {
        {"/plain", Ok("your address is 100.63.0.5 (v4)\n"), "100.63.0.5", ""},
        {"/skip", Ok("999.1.1.1 1.2.3.4.5 01.2.3.4 then 100.63.0.6."), "100.63.0.6", ""},
        {"/hop", "HTTP/1.1 302 Found\r\nLocation: /plain?from=hop\r\nContent-Length: 0\r\n\r\n", nullptr,
         "HTTP 404 Not Found from " + base + "/plain?from=hop"},
        {"/none", Ok("no address here 1.2.3\n"), nullptr,
         "no IPv4 address in the answer of " + base + "/none"},
        {"/ipv6", Ok("2001:db8::7 ::ffff:100.63.0.1\n"), nullptr,
         "no IPv4 address in the answer of " + base + "/ipv6"},
        {"/escape", "HTTP/1.1 500 \x1b[2J\r\n\r\n", nullptr, "HTTP 500 \\x1b[2J from " + base + "/escape"},
    };
    for (const Case& c : cases) server.Script(c.path, {c.answer});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        WebSource source(server.Url(c.path), platform::MachineClock(), state);
        const AddressAnswer answer = source.Query();
        if (c.address) {
            EXPECT_EQ(answer.address.value_or("(none: " + answer.reason + ")"), c.address);
        } else {
            EXPECT_FALSE(answer.address) << *answer.address;
            EXPECT_EQ(answer.reason, c.reason);
        }
    }
    WebSource ftp("ftp://127.0.0.1/ip", platform::MachineClock(), state);
    EXPECT_EQ(ftp.Query().reason, "URL must start with http:// or https://");
}

TEST(WebSourceTest, EachFamilyIsAskedOverItselfAlone) {
    ScriptedHttpServer server(/*ipv6=*/true);
    if (!server.Listening())
        GTEST_SKIP() << "no IPv6 loopback here";
    server.Script("/ip", {Ok("you are [2001:DB8:0::7]:51234 via 100.63.0.5\n")});
    const ProgramState state;
    WebSource source(server.Url("/ip"), platform::MachineClock(), state);
    EXPECT_EQ(source.QueryIPv6().address.value_or(source.QueryIPv6().reason), "2001:db8::7");
    // The IPv4 address of an echo reached over IPv6 would be no answer about this machine's IPv4 address.
    const AddressAnswer ipv4 = source.Query();
    EXPECT_FALSE(ipv4.address);
    EXPECT_NE(ipv4.reason.find("IPv4 only"), std::string::npos) << ipv4.reason;
}

}  // namespace
}  // namespace signposter
