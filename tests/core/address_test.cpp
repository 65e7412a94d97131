// Address sources: classification and extraction, the interface source, the polling schedule, and what
// the monitor does with flagged and failed answers.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <deque>
#include <mutex>

#include "core/address_class.h"
#include "core/address_source.h"
#include "core/monitor.h"
#include "core/settings.h"
#include "core/upnp_gateway.h"
#include "platform/ip_address.h"
#include "support/publishing_fixture.h"

namespace signposter {
namespace {

using namespace signposter::testing;
using Kind = PublicationOutcome::Kind;

TEST(AddressClassTest, EveryBlockEdge) {
    const std::pair<const char*, AddressClass> cases[] = {
        {"0.0.0.0", AddressClass::ThisNetwork},
        {"0.255.255.255", AddressClass::ThisNetwork},
        {"1.0.0.0", AddressClass::Public},
        {"9.255.255.255", AddressClass::Public},
        {"10.0.0.0", AddressClass::Private},
        {"10.255.255.255", AddressClass::Private},
        {"11.0.0.0", AddressClass::Public},
        {"100.63.255.255", AddressClass::Public},
        {"100.64.0.0", AddressClass::CarrierGradeNat},
        {"100.127.255.255", AddressClass::CarrierGradeNat},
        {"100.128.0.0", AddressClass::Public},
        {"126.255.255.255", AddressClass::Public},
        {"127.0.0.0", AddressClass::Loopback},
        {"127.255.255.255", AddressClass::Loopback},
        {"128.0.0.0", AddressClass::Public},
        {"169.253.255.255", AddressClass::Public},
        {"169.254.0.0", AddressClass::LinkLocal},
        {"169.254.255.255", AddressClass::LinkLocal},
        {"169.255.0.0", AddressClass::Public},
        {"172.15.255.255", AddressClass::Public},
        {"172.16.0.0", AddressClass::Private},
        {"172.31.255.255", AddressClass::Private},
        {"172.32.0.0", AddressClass::Public},
        {"192.0.1.255", AddressClass::Public},
        {"192.0.2.0", AddressClass::Documentation},
        {"192.0.2.255", AddressClass::Documentation},
        {"192.0.3.0", AddressClass::Public},
        {"192.167.255.255", AddressClass::Public},
        {"192.168.0.0", AddressClass::Private},
        {"192.168.255.255", AddressClass::Private},
        {"192.169.0.0", AddressClass::Public},
        {"198.17.255.255", AddressClass::Public},
        {"198.18.0.0", AddressClass::Benchmarking},
        {"198.19.255.255", AddressClass::Benchmarking},
        {"198.20.0.0", AddressClass::Public},
        {"198.51.99.255", AddressClass::Public},
        {"198.51.100.0", AddressClass::Documentation},
        {"198.51.100.255", AddressClass::Documentation},
        {"198.51.101.0", AddressClass::Public},
        {"203.0.112.255", AddressClass::Public},
        {"203.0.113.0", AddressClass::Documentation},
        {"203.0.113.255", AddressClass::Documentation},
        {"203.0.114.0", AddressClass::Public},
        {"223.255.255.255", AddressClass::Public},
        {"224.0.0.0", AddressClass::Multicast},
        {"239.255.255.255", AddressClass::Multicast},
        {"240.0.0.0", AddressClass::Reserved},
        {"255.255.255.255", AddressClass::Reserved},
    };
    for (const auto& [address, expected] : cases)
        EXPECT_EQ(DescribeClass(ClassifyAddress(address)), DescribeClass(expected)) << address;
    EXPECT_EQ(DescribeClass(AddressClass::Private), "private (RFC 1918)");
    EXPECT_EQ(ClassPhrase(AddressClass::CarrierGradeNat), "a carrier-grade NAT address (RFC 6598)");
}

TEST(AddressClassTest, IPv6BlocksAndTextThatIsNoAddress) {
    const std::pair<const char*, AddressClass> cases[] = {
        {"::", AddressClass::Unspecified6},
        {"::1", AddressClass::Loopback6},
        {"::2", AddressClass::Reserved6},
        {"::ffff:192.0.2.1", AddressClass::IPv4Mapped},
        {"64:ff9b::8.8.8.8", AddressClass::Nat64},
        {"64:ff9b:1:ffff::1", AddressClass::Nat64},
        {"64:ff9b:2::1", AddressClass::Reserved6},
        {"100::ffff:ffff:ffff:ffff", AddressClass::Discard6},
        {"100:0:0:1::", AddressClass::Reserved6},
        {"1fff:ffff::1", AddressClass::Reserved6},
        {"2000::", AddressClass::Public},
        {"2001:0:ffff::1", AddressClass::Teredo},
        {"2001:1::1", AddressClass::Public},
        {"2001:2:0:ffff::1", AddressClass::Benchmarking6},
        {"2001:2:1::1", AddressClass::Public},
        {"2001:20::1", AddressClass::Orchid},
        {"2001:2f:ffff::1", AddressClass::Orchid},
        {"2001:30::1", AddressClass::Public},
        {"2001:DB8:ffff::1", AddressClass::Documentation6},
        {"2001:db9::1", AddressClass::Public},
        {"2002:c000:201::1", AddressClass::SixToFour},
        {"2a00:1450::1", AddressClass::Public},
        {"3fff:fff::1", AddressClass::Documentation6},
        {"3fff:1000::1", AddressClass::Public},
        {"4000::1", AddressClass::Reserved6},
        {"fbff::1", AddressClass::Reserved6},
        {"fc00::1", AddressClass::UniqueLocal},
        {"fdff:ffff::1", AddressClass::UniqueLocal},
        {"fe80::1", AddressClass::LinkLocal6},
        {"febf::1", AddressClass::LinkLocal6},
        {"fec0::1", AddressClass::SiteLocal},
        {"ff02::1", AddressClass::Multicast6},
        // Anything that is not exactly an address: never public.
        {"HTML", AddressClass::NotAnAddress},
        {"010.001.002.003", AddressClass::NotAnAddress},
        {"0x7f.0.0.1", AddressClass::NotAnAddress},
        {"1.2.3", AddressClass::NotAnAddress},
        {" 1.2.3.4", AddressClass::NotAnAddress},
        {"fe80::1%eth0", AddressClass::NotAnAddress},
        {"[2001:db8::1]", AddressClass::NotAnAddress},
        {"", AddressClass::NotAnAddress},
    };
    for (const auto& [address, expected] : cases)
        EXPECT_EQ(DescribeClass(ClassifyAddress(address)), DescribeClass(expected)) << address;
    EXPECT_FALSE(IsUnreachable(AddressClass::SixToFour));
    EXPECT_TRUE(IsUnreachable(AddressClass::NotAnAddress));
    EXPECT_EQ(DescribeClass(AddressClass::SixToFour), "public, 6to4 (RFC 3056)");
    EXPECT_EQ(ClassPhrase(AddressClass::SixToFour), "a public 6to4 address (RFC 3056)");
    EXPECT_EQ(ClassPhrase(AddressClass::UniqueLocal), "a unique local address (RFC 4193)");
    EXPECT_EQ(ClassPhrase(AddressClass::IPv4Mapped), "an IPv4-mapped address (RFC 4291)");
    EXPECT_EQ(ClassPhrase(AddressClass::NotAnAddress), "not an address");
}

TEST(AddressClassTest, OneIPv6ReadingAndItsCanonicalText) {
    // RFC 5952: lower case, no leading zeros, the longest run of zero groups (the first of equal ones)
    // compressed, a single zero group not; IPv4-mapped with its dotted quad.
    const std::pair<const char*, const char*> cases[] = {
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
        {"0:0:0:0:0:0:0:0", "::"},
        {"::0.0.0.1", "::1"},
        {"1::", "1::"},
        {"::FFFF:c000:0201", "::ffff:192.0.2.1"},
        {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
        {"fe80:0:0:0:200:5eff:fe00:5301", "fe80::200:5eff:fe00:5301"},
    };
    for (const auto& [text, canonical] : cases) {
        const auto parsed = platform::ParseIPv6(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(platform::FormatIPv6(*parsed), canonical) << text;
    }
    for (const char* text : {":", ":::", "1:::2", "1::2::3", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7",
                             ":1::", "1::2:", "12345::", "g::", "::1.2.3", "::1.2.3.04",
                             "1:2:3:4:5:6:7:1.2.3.4", "::ffff:1.2.3.4.5"})
        EXPECT_FALSE(platform::ParseIPv6(text)) << text;
    EXPECT_TRUE(platform::ParseIPv6("1:2:3:4:5:6:1.2.3.4"));
    EXPECT_TRUE(platform::ParseIPv6("1:2:3:4:5:6:7::"));
}

TEST(AddressClassTest, FirstAddressInAText) {
    const std::pair<const char*, const char*> cases[] = {
        {"Current IP Address: 100.63.0.5</body>", "100.63.0.5"},
        {"999.1.1.1 then 8.8.4.4", "8.8.4.4"},
        {"1.2.3.4.5 and 6.7.8.9", "6.7.8.9"},
        {"v1.2.3.4", "1.2.3.4"},  // letters do not join the run; only digits and dots do
        {"01.2.3.4 1.02.3.4 1.2.3.4", "1.2.3.4"},
        {"is 5.6.7.8.", "5.6.7.8"},
        {"256.1.1.1 1.1.1.256 1.1.1", nullptr},
        {"2001:db8::1 ::ffff:1.2.3.4", nullptr},
        {"1..2.3.4", nullptr},
        {"", nullptr},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(FindFirstIPv4(text).value_or("none"), expected ? expected : "none") << text;
}

TEST(AddressClassTest, FirstIPv6AddressInAText) {
    const std::pair<const char*, const char*> cases[] = {
        {"Your address: 2001:DB8:0:0::0001</body>", "2001:db8::1"},
        {"[2001:db8::1]:443 and 2001:db8::2", "2001:db8::1"},
        {"2001:db8::1/64", "2001:db8::1"},
        {"fe80::1%eth0", "fe80::1"},
        {"IPv6:2001:db8::5, Used:2001:db8::6", "2001:db8::5"},
        {"is 2001:db8::7. Or 2001:db8::8: later", "2001:db8::7"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"at 12:30:45 then 2026-12-07T12:30:45Z then ::1", "::1"},
        // Not addresses: names joined by "::", "::" alone, too many groups, a word glued after.
        {"std::string Foo::1 a :: b", nullptr},
        {"1:2:3:4:5:6:7:8:9 2001:db8::1::2 2001:db8::1ms", nullptr},
        {"100.63.0.5", nullptr},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(FindFirstIPv6(text).value_or("none"), expected ? expected : "none") << text;
}

// A tray tooltip holds 51 characters after "Signposter: ": a full IPv6 address keeps every character and
// the words around it give way; a dotted quad's texts stay as they were.
TEST(AddressClassTest, TooltipsKeepAFullIPv6AddressWhole) {
    const std::string full = "2a02:8071:1234:5678:9abc:def0:1234:5678";  // eight groups of four
    PublicationOutcome outcome;
    outcome.when = 1'700'000'000;
    outcome.reason = "the router reports no external address";
    outcome.errorMessage = "the served page shows another address";
    outcome.verificationFailed = true;
    const auto brief = [&outcome](Kind kind, const std::string& address, AddressClass addressClass) {
        outcome.kind = kind;
        outcome.address = address;
        outcome.addressClass = addressClass;
        return DescribeOutcomeBriefly(outcome);
    };
    const std::pair<std::string, std::string> cases[] = {
        {brief(Kind::Published, full, AddressClass::Public), full + " published"},
        {brief(Kind::Published, full, AddressClass::UniqueLocal), full + " published"},
        {brief(Kind::SkippedUnreachable, full, AddressClass::UniqueLocal), full + " held back"},
        {brief(Kind::SkippedInactive, full, AddressClass::Public), full + " not sent"},
        {brief(Kind::SkippedIgnored, full, AddressClass::Public), full + " ignored"},
        {brief(Kind::AddressUnavailable, full, AddressClass::Public), full + ", unchecked"},
        {brief(Kind::Failed, full, AddressClass::Public), full + " unverified"},
        // A shorter one keeps the full words; what follows them is cut as for a dotted quad.
        {brief(Kind::Failed, "2001:db8::5", AddressClass::Public), DescribeOutcome(outcome)},
        {brief(Kind::SkippedInactive, "2001:db8::5", AddressClass::Public),
         "2001:db8::5 not published: inactive"},
        {brief(Kind::AddressUnavailable, "100.63.0.1", AddressClass::Public), DescribeOutcome(outcome)},
        {DescribeProgressBriefly(full, 2, 5), full + " (2 of 5)..."},
        {DescribeProgressBriefly("2001:db8::5", 2, 5), "publishing 2001:db8::5 (attempt 2 of 5)..."},
        {DescribeProgressBriefly("255.255.255.255", 2, 5), "publishing 255.255.255.255 (attempt 2 of 5)..."},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(text, expected);
}

class ListedInterfaces : public HostLookup {
public:
    std::optional<std::string> HostName() override { return "host"; }
    std::optional<std::vector<std::string>> ResolveIPv4(const std::string&) override {
        ++lookups;
        return address.empty() ? std::nullopt : std::optional(std::vector<std::string>{address});
    }
    std::vector<std::string> InterfaceIPv4() override { return {}; }
    std::vector<platform::InterfaceEntry> Interfaces() override { return entries; }
    std::vector<platform::InterfaceEntry> entries;
    std::string address = "192.168.1.5";
    int lookups = 0;
};

TEST(InterfaceSourceTest, FirstIPv4OfTheNamedInterfaceWhenUp) {
    ListedInterfaces lookup;
    lookup.entries = {{"eth0", true, "192.168.1.5"},
                      {"ppp0", true, ""},
                      {"ppp0", true, "100.64.7.7"},
                      {"ppp0", true, "100.64.7.8"},
                      {"wlan0", false, "10.0.0.2"},
                      {"wlan0", false, ""},
                      {"usb0", true, ""}};
    const std::pair<const char*, const char*> cases[] = {
        {"ppp0", "100.64.7.7"},
        {"tun0", "interface tun0 not found"},
        {"wlan0", "interface wlan0 is down"},
        {"usb0", "interface usb0 has no IPv4 address"},
    };
    for (const auto& [name, expected] : cases) {
        InterfaceSource source(lookup, name, IPv6Kind::Stable);
        const AddressAnswer answer = source.Query();
        EXPECT_EQ(answer.address.value_or(answer.reason), expected);
    }
}

TEST(HostNameSourceTest, IPv6FromTheNamesAnswersElseFromTheInterfaces) {
    struct Lookup : ListedInterfaces {
        std::optional<std::vector<std::string>> ResolveIPv6(const std::string&) override { return resolved; }
        platform::AddressDump Addresses() override { return dump; }
        std::optional<std::vector<std::string>> resolved;
        platform::AddressDump dump;
    } lookup;
    HostNameSource source(lookup, IPv6Kind::Stable);
    // Loopback and link-local answers are no address of the machine's for visitors; the last other wins.
    lookup.resolved = std::vector<std::string>{"2a02:1::5", "2a02:1::6", "::1", "fe80::1"};
    EXPECT_EQ(source.QueryIPv6().address, "2a02:1::6");
    // The name has no IPv6 entry: each interface's choice that visitors can reach, the last one.
    lookup.resolved = std::vector<std::string>{"::1"};
    for (const auto& [index, text] :
         {std::pair{1u, "::1"}, std::pair{2u, "2a02:2::7"}, std::pair{3u, "fd00::8"}}) {
        platform::InterfaceAddress address;
        address.family = AF_INET6;
        address.index = index;
        address.bytes = *platform::ParseIPv6(text);
        lookup.dump.addresses.push_back(address);
    }
    EXPECT_EQ(source.QueryIPv6().address, "2a02:2::7");
    lookup.dump.addresses.resize(1);
    EXPECT_EQ(source.QueryIPv6().reason, "the host name has no IPv6 address");
    // UPnP has no IPv6 answer to give, and says so.
    EXPECT_NE(UpnpSource(nullptr, {}).QueryIPv6().reason.find("IPv4 address only"), std::string::npos);
}

// A router scripted per question, counting discoveries.
class ScriptedGateway : public UpnpGateway {
public:
    std::optional<UpnpIgd> Discover(std::string& error, std::vector<std::string>& steps) override {
        std::lock_guard lock(m_mutex);
        ++discoveries;
        steps.push_back("discovered");
        if (!discoverable) {
            error = "no UPnP gateway answered";
            return std::nullopt;
        }
        return UpnpIgd{"http://127.0.0.1:1/rootDesc.xml", "http://127.0.0.1:1/ctl", "urn:x", 1};
    }
    AddressAnswer ExternalAddress(const UpnpIgd&, std::vector<std::string>&) override {
        std::lock_guard lock(m_mutex);
        ++questions;
        if (answers.empty())
            return {std::nullopt, "the router reports no external address"};
        const std::string next = answers.front();
        if (answers.size() > 1)
            answers.pop_front();
        return next.empty() ? AddressAnswer{std::nullopt, "the router reports no external address"}
                            : AddressAnswer{next, {}};
    }
    std::deque<std::string> answers;  // "" is a failure; the last one repeats
    bool discoverable = true;
    int discoveries = 0;
    int questions = 0;

private:
    std::mutex m_mutex;
};

class ScheduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_state.AddressSource = "upnp";
        m_state.CurrentIP = "100.63.0.1";  // LastIP
    }
    TickAnswer AskAt(std::int64_t secondsFromStart) {
        m_clock.tick = m_start + secondsFromStart * 1000;
        return m_address.Ask();
    }

    FakeClock m_clock;
    std::int64_t m_start = m_clock.tick;
    ProgramState m_state;
    ListedInterfaces m_lookup;
    std::shared_ptr<ScriptedGateway> m_gateway = std::make_shared<ScriptedGateway>();
    ConfiguredAddress m_address{m_state, m_lookup, m_clock, m_gateway};
};

TEST_F(ScheduleTest, PollsAtTheIntervalAndBacksOffAfterFailuresKeepingTheLastAnswer) {
    m_gateway->answers = {"100.63.0.2", "", "", "", "100.63.0.3"};
    // Asked at once, then not before the interval (60 s for UPnP).
    EXPECT_EQ(AskAt(0).address, "100.63.0.2");
    const TickAnswer between = AskAt(59);
    EXPECT_FALSE(between.asked);
    EXPECT_EQ(between.address, "100.63.0.2");
    // Failures keep the last answer and come back after 2, then 4, then 8 intervals.
    const std::int64_t expectedAsks[] = {60, 180, 420, 900};
    std::int64_t previous = 60;
    for (const std::int64_t at : expectedAsks) {
        if (at != 60) {
            EXPECT_FALSE(AskAt(at - 1).asked) << at;
        }
        const TickAnswer answer = AskAt(at);
        EXPECT_TRUE(answer.asked) << at;
        if (at != 900) {
            EXPECT_TRUE(answer.kept);
            EXPECT_EQ(answer.address, "100.63.0.2");
            EXPECT_EQ(answer.problem, "the router reports no external address");
        } else {
            EXPECT_EQ(answer.address, "100.63.0.3");  // success: back to the interval
            EXPECT_FALSE(answer.kept);
        }
        previous = at;
    }
    EXPECT_FALSE(AskAt(previous + 59).asked);
    EXPECT_TRUE(AskAt(previous + 60).asked);
    // A discovery at the start and one after each failure, none for the questions in between.
    EXPECT_EQ(m_gateway->discoveries, 4);
    EXPECT_EQ(m_gateway->questions, 6);
}

TEST_F(ScheduleTest, BackOffStopsAtHalfAnHourAndTheFirstAnswerIsTheStoredAddress) {
    m_gateway->discoverable = false;
    const TickAnswer first = AskAt(0);
    EXPECT_EQ(first.address, "100.63.0.1");  // until a first answer, LastIP stands: no change at start
    EXPECT_EQ(first.problem, "no UPnP gateway answered");
    std::int64_t at = 0;
    for (int i = 0; i < 8; ++i) {
        at = m_address.NextPollTick() / 1000 - m_start / 1000;
        AskAt(at);
    }
    EXPECT_EQ(m_address.NextPollTick() - m_clock.tick, kLongestBackOffMs);
    // Other settings are another source: asked at once.
    m_state.AddressPollSeconds = 30;
    m_gateway->discoverable = true;
    m_gateway->answers = {"100.63.0.4"};
    EXPECT_EQ(AskAt(at + 1).address, "100.63.0.4");
    EXPECT_EQ(m_address.NextPollTick() - m_clock.tick, 30'000);
}

TEST_F(ScheduleTest, HostNameAndInterfaceAreAskedEveryTickAndAnEmptyAnswerStands) {
    m_state.AddressSource = "";
    m_lookup.address = "";
    for (int i = 0; i < 3; ++i) {
        const TickAnswer answer = AskAt(i);
        EXPECT_EQ(answer.address, "");
        EXPECT_EQ(answer.problem, "the host name did not resolve");
    }
    EXPECT_EQ(m_lookup.lookups, 3);
    m_state.AddressSource = "Interface";
    m_state.AddressInterface = "ppp0";
    EXPECT_EQ(AskAt(4).problem, "interface ppp0 not found");
    EXPECT_EQ(AskAt(4).address, "");
}

TEST_F(ScheduleTest, WatchedByEventsTheInterfaceIsAskedAfterAnEventAndOnceAMinute) {
    m_state.AddressSource = "Interface";
    m_state.AddressInterface = "eth0";
    m_lookup.entries = {{"eth0", true, "192.0.2.7"}};
    int questions = 0;
    const auto asked = [&](std::int64_t second) {
        const TickAnswer answer = AskAt(second);
        questions += answer.asked;
        return answer;
    };
    m_address.SetEventsWatched(true);
    EXPECT_TRUE(m_address.WaitsForEvents());
    m_state.CurrentIP = asked(0).address;  // the start asks
    m_lookup.entries[0].ipv4 = "192.0.2.8";
    // Between events the tick asks nothing and the address stands.
    for (int second = 1; second < 30; ++second) EXPECT_EQ(asked(second).address, "192.0.2.7");
    EXPECT_EQ(questions, 1);
    // A settled burst is one event: one question.
    m_address.NoteAddressEvent();
    m_state.CurrentIP = asked(30).address;
    EXPECT_EQ(m_state.CurrentIP, "192.0.2.8");
    EXPECT_FALSE(asked(31).asked);
    EXPECT_EQ(questions, 2);
    // A missed event is caught by the safety check, a minute after the last question.
    EXPECT_FALSE(asked(89).asked);
    EXPECT_TRUE(asked(90).asked);
    // Without the events (the socket failed), every tick asks again.
    m_address.SetEventsWatched(false);
    EXPECT_TRUE(asked(91).asked);
}

TEST_F(ScheduleTest, EventsAskARouterAtOnceButAtMostOnceInTenSeconds) {
    m_gateway->answers = {"100.63.0.2", "100.63.0.3", "100.63.0.4", "100.63.0.5"};
    const auto eventAt = [&](std::int64_t second) {
        m_clock.tick = m_start + second * 1000;
        m_address.NoteAddressEvent();
    };
    EXPECT_TRUE(AskAt(0).asked);
    eventAt(1);
    EXPECT_EQ(AskAt(1).address, "100.63.0.3");
    eventAt(3);  // 2 s after the last question an event prompted: not before 11 s
    EXPECT_FALSE(AskAt(3).asked);
    EXPECT_FALSE(AskAt(10).asked);
    EXPECT_EQ(AskAt(11).address, "100.63.0.4");
    // The regular poll goes on from there.
    EXPECT_FALSE(AskAt(70).asked);
    EXPECT_TRUE(AskAt(71).asked);
}

class AddressMonitorTest : public PublishingFixture {
protected:
    void SetUp() override {
        PublishingFixture::SetUp();
        m_fields.SetText(TextField::Host, "127.0.0.1");
        m_fields.SetText(TextField::Port, std::to_string(m_server.Port()));
        m_fields.SetText(TextField::User, "bob");
        m_fields.SetChecked(Switch::InternalRedirect, true);
        m_fields.SetChecked(Switch::Active, true);
        m_state.AddressSource = "UPnP";
        m_state.CurrentIP = "100.63.0.1";
    }
    std::string Path() const { return m_dir.File("signposter.ini"); }

    ListedInterfaces m_lookup;
    std::shared_ptr<ScriptedGateway> m_gateway = std::make_shared<ScriptedGateway>();
    ConfiguredAddress m_address{m_state, m_lookup, m_clock, m_gateway};
    Monitor m_monitor{m_fields, m_ui, m_state, m_address, m_clock, m_ftp, Path()};
};

TEST_F(AddressMonitorTest, FlaggedAnswersAreSavedButNotPublishedUnlessAskedTo) {
    m_gateway->answers = {"10.1.2.3"};
    m_monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(m_ui.outcomes[0].kind, Kind::SkippedUnreachable);
    EXPECT_EQ(m_ui.outcomes[0].reason, "10.1.2.3 is a private address (RFC 1918); visitors cannot reach it");
    EXPECT_NE(ReadFile(Path()).find("LastIP=10.1.2.3\r\n"), std::string::npos);
    EXPECT_EQ(m_server.ControlConnections(), 0);

    m_state.PublishPrivate = true;
    m_clock.tick += 60'000;
    m_gateway->answers = {"100.64.1.2"};
    m_monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 2u);
    EXPECT_EQ(m_ui.outcomes[1].kind, Kind::Published);
    EXPECT_EQ(DescribeOutcome(m_ui.outcomes[1]).substr(0, 21), "100.64.1.2 published ");
    EXPECT_NE(
        DescribeOutcome(m_ui.outcomes[1]).find(": a carrier-grade NAT address (RFC 6598), visitors outside"),
        std::string::npos);
    EXPECT_EQ(m_server.ControlConnections(), 1);

    // An answer that is no address is never published, whatever PublishPrivate says.
    m_clock.tick += 60'000;
    m_gateway->answers = {"0x7f.0.0.1"};
    m_monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 3u);
    EXPECT_EQ(m_ui.outcomes[2].kind, Kind::SkippedUnreachable);
    EXPECT_EQ(m_ui.outcomes[2].reason, "0x7f.0.0.1 is not an address; visitors cannot reach it");
    EXPECT_EQ(DescribeOutcomeBriefly(m_ui.outcomes[2]).find("0x7f.0.0.1 held back "), 0u);
    EXPECT_EQ(m_server.ControlConnections(), 1);
}

TEST_F(AddressMonitorTest, AFailedPollIsReportedOnceAndChangesNothing) {
    m_gateway->answers = {"100.63.0.1", ""};
    m_monitor.Timer1Timer();  // the stored address again: no change
    m_clock.tick += 60'000;
    m_monitor.Timer1Timer();  // fails
    m_clock.tick += 1000;
    m_monitor.Timer1Timer();  // within the back-off: not asked
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(m_ui.outcomes[0].kind, Kind::AddressUnavailable);
    EXPECT_EQ(DescribeOutcome(m_ui.outcomes[0]).substr(0, 20), "address not checked ");
    EXPECT_NE(DescribeOutcome(m_ui.outcomes[0])
                  .find(": the router reports no external address; keeping 100.63.0.1"),
              std::string::npos);
    EXPECT_EQ(m_state.CurrentIP, "100.63.0.1");
    EXPECT_FALSE(std::filesystem::exists(Path()));  // nothing saved: no change
    EXPECT_EQ(m_server.ControlConnections(), 0);
}

TEST_F(AddressMonitorTest, TheHostNamePublishesAFlaggedAddressAndSaysWhy) {
    m_state.AddressSource = "";
    m_monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(m_ui.outcomes[0].kind, Kind::Published);
    EXPECT_EQ(
        m_ui.outcomes[0].reason,
        "a private address (RFC 1918), visitors outside this network cannot reach it; see AddressSource");
    m_lookup.address = "";
    m_monitor.Timer1Timer();
    EXPECT_EQ(m_ui.outcomes[1].kind, Kind::SkippedEmptyAddress);
    EXPECT_NE(DescribeOutcome(m_ui.outcomes[1]).find(": the host name did not resolve"), std::string::npos);
}

TEST_F(AddressMonitorTest, ValidationNamesTheMissingSettingOfTheChosenSourceOnly) {
    const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
        {{"Web", ""}, "No address URL\r"},
        {{"web", "ftp://127.0.0.1/ip"}, "Address URL must start with http:// or https://\r"},
        {{"web", "https://127.0.0.1:99999/ip"}, "Port must be a number from 1 to 65535\r"},
        {{"Interface", ""}, "No address interface\r"},
        {{"dns", ""}, "Unknown AddressSource value\r"},
    };
    for (const auto& [setting, message] : cases) {
        m_state.AddressSource = setting.first;
        m_state.AddressURL = setting.second;
        EXPECT_FALSE(m_monitor.ValidateSettings());
        EXPECT_EQ(m_ui.messages.back().text, message);
    }
    m_state.AddressSource = "HOSTNAME";
    EXPECT_TRUE(m_monitor.ValidateSettings());
}

TEST_F(AddressMonitorTest, AnOldSettingsFileIsReadAndWrittenAsBefore) {
    // The file as the program wrote it before these settings existed.
    const std::string old =
        "[Settings]\r\nHost=127.0.0.1\r\nPort=21\r\nPassive=1\r\nInternalYes=1\r\nInternalNo="
        "0\r\nUserTemplate=0\r\n"
        "User=bob\r\nPassword=\r\nHTML=ipaddress.htm\r\nRemotePath=/\r\nTemplate=\r\nIgnoreIP=127.0.0.1,\r\n"
        "LastIP=192.168.1.4\r\n";
    WriteFile(Path(), old);
    ProgramState state;
    FakeLiveSettings fields;
    LoadSettings(fields, state, Path());
    EXPECT_EQ(state.AddressSource, "");
    EXPECT_EQ(state.AddressPollSeconds, 0);
    EXPECT_FALSE(state.PublishPrivate);
    SaveSettings(fields, state, Path());
    EXPECT_EQ(ReadFile(Path()), old);

    // The host name, every tick, unfiltered: 192.168.1.5 is published to the server.
    m_state = state;
    m_fields.SetText(TextField::Port, std::to_string(m_server.Port()));
    m_monitor.Timer1Timer();
    m_monitor.Timer1Timer();
    EXPECT_EQ(m_lookup.lookups, 2);
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(m_ui.outcomes[0].kind, Kind::Published);
    const std::string saved = ReadFile(Path());
    // Byte for byte as before, with the port the test gave and the new address.
    std::string expected = old;
    expected.replace(expected.find("Port=21"), 7, "Port=" + std::to_string(m_server.Port()));
    expected.replace(expected.find("LastIP=192.168.1.4"), 18, "LastIP=192.168.1.5");
    EXPECT_EQ(saved, expected);
    // The conversation as the client always held it: PASV, the page under its own name.
    ASSERT_TRUE(m_server.WaitUntilIdle());
    EXPECT_EQ(m_server.Commands(), (std::vector<std::string>{"user bob", "pass ", "type A", "syst", "PASV",
                                                             "STOR ipaddress.htm"}));
}

}  // namespace
}  // namespace signposter
