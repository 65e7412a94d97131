#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>

#include "core/address_watch.h"
#include "core/ipv6_choice.h"
#include "core/address_change_clock.h"
#include "platform/rtnetlink.h"
#include "support/fake_clock.h"
#include "support/scripted_address_events.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using namespace signposter::testing;
using platform::AddressEvent;
using platform::InterfaceAddress;
using platform::RouteMessageKind;

// Datagrams recorded from the kernel in a network namespace (veth pair rec0/rec1, rec0 index 3); the
// fuzz target starts from the same files.
std::string Recorded(const std::string& name) {
    return ReadFile(std::string(SIGNPOSTER_SOURCE_DIR) + "/fuzz/corpus/route_message_fuzz/" + name);
}

const InterfaceAddress* Find(const std::vector<InterfaceAddress>& addresses, const std::string& text) {
    for (const auto& address : addresses)
        if (address.Text() == text)
            return &address;
    return nullptr;
}

std::vector<InterfaceAddress> RecordedDump() {
    std::vector<InterfaceAddress> dump;
    for (const auto& message : platform::ParseRouteMessages(Recorded("address_dump")))
        if (message.kind == RouteMessageKind::NewAddress)
            dump.push_back(message.address);
    return dump;
}

TEST(RouteMessagesTest, AddressEventsOfBothFamiliesAsRecorded) {
    const auto added = platform::ParseRouteMessages(Recorded("address_added_ipv4"));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].kind, RouteMessageKind::NewAddress);
    EXPECT_EQ(added[0].address.Text(), "192.0.2.7");
    EXPECT_EQ(added[0].address.prefixLength, 24u);
    EXPECT_EQ(added[0].address.label, "rec0:web");
    EXPECT_EQ(added[0].address.index, 3u);
    EXPECT_EQ(added[0].address.FlagNames(), "permanent");
    EXPECT_EQ(platform::ParseRouteMessages(Recorded("address_removed_ipv4"))[0].kind,
              RouteMessageKind::DeletedAddress);

    const auto added6 = platform::ParseRouteMessages(Recorded("address_added_ipv6"));
    ASSERT_EQ(added6.size(), 4u);
    EXPECT_EQ(added6[1].address.Text(), "2001:db8:1::20");
    EXPECT_EQ(added6[1].address.FlagNames(), "nodad permanent mngtmpaddr");  // the bit above 0xff: IFA_FLAGS
    EXPECT_EQ(added6[2].address.FlagNames(), "nodad deprecated permanent");
    EXPECT_EQ(added6[2].address.preferredSeconds, 0u);
    EXPECT_EQ(added6[3].address.FlagNames(), "tentative permanent");

    // A length that runs past the datagram ends the reading; what came before it stands.
    std::string cut = Recorded("address_added_ipv6");
    cut.resize(cut.size() - 8);
    bool malformed = false;
    EXPECT_EQ(platform::ParseRouteMessages(cut, &malformed).size(), 3u);
    EXPECT_TRUE(malformed);
}

TEST(RouteMessagesTest, DumpGivesEveryAddressWithFlagsAndLifetimes) {
    const std::vector<InterfaceAddress> dump = RecordedDump();
    ASSERT_EQ(dump.size(), 11u);  // lo, rec1 and rec0, both families
    EXPECT_NE(Find(dump, "198.51.100.20"), nullptr);
    EXPECT_EQ(Find(dump, "fe80::5ce4:84ff:febb:89ed")->scope, unsigned(RT_SCOPE_LINK));
    EXPECT_EQ(Find(dump, "fe80::5ce4:84ff:febb:89ed")->protocol, unsigned(IFAPROT_KERNEL_LL));
    const InterfaceAddress* dhcp = Find(dump, "2001:db8:1::d");
    ASSERT_NE(dhcp, nullptr);
    EXPECT_EQ(dhcp->prefixLength, 128u);
    EXPECT_EQ(dhcp->flags & IFA_F_PERMANENT, 0u);
    EXPECT_EQ(dhcp->validSeconds, 7198u);
    EXPECT_EQ(dhcp->preferredSeconds, 3598u);
    const InterfaceAddress* temporary = Find(dump, "2001:db8:1:0:6ed9:1c86:66bc:64f");
    ASSERT_NE(temporary, nullptr);
    EXPECT_EQ(temporary->FlagNames(), "temporary");
    EXPECT_GT(Find(dump, "2001:db8:1::40")->createdCentiseconds, temporary->createdCentiseconds);
    EXPECT_EQ(Find(dump, "2001:db8:1::40")->FlagNames(), "tentative permanent");
    EXPECT_EQ(Find(dump, "2001:db8:1::10")->validSeconds, platform::kForever);
}

std::vector<std::string> Verdicts(const IPv6Choice& choice) {
    std::vector<std::string> lines;
    for (const auto& candidate : choice.candidates)
        lines.push_back(candidate.address.Text() + ": " + candidate.verdict);
    return lines;
}

TEST(IPv6ChoiceTest, StableAndTemporaryFromARecordedDump) {
    std::vector<InterfaceAddress> dump = RecordedDump();
    const IPv6Choice stable = ChooseIPv6(dump, 3, IPv6Kind::Stable);
    EXPECT_EQ(stable.address.value_or("none"), "2001:db8:1::10");
    EXPECT_EQ(Verdicts(stable),
              (std::vector<std::string>{
                  "2001:db8:1::40: tentative: duplicate address detection still running",
                  "2001:db8:1::30: deprecated: its preferred lifetime is over",
                  "2001:db8:1:0:6ed9:1c86:66bc:64f: temporary: taken only with IPv6Kind=temporary",
                  "2001:db8:1::20: stable SLAAC, after configured by hand",
                  "2001:db8:1::d: from DHCPv6, after configured by hand",
                  "2001:db8:1::10: chosen, configured by hand; a documentation address (RFC 3849)",
                  "fe80::5ce4:84ff:febb:89ed: link-local",
              }));
    EXPECT_EQ(
        stable.candidates[4].Describe(),
        "2001:db8:1::d/128 (nodad; preferred 3598 s, valid 7198 s): from DHCPv6, after configured by hand");
    EXPECT_EQ(ChooseIPv6(dump, 3, IPv6Kind::Temporary).address.value_or("none"),
              "2001:db8:1:0:6ed9:1c86:66bc:64f");
    // Without the address configured by hand DHCPv6 comes next, then stable SLAAC.
    std::erase_if(dump, [](const InterfaceAddress& a) { return a.Text() == "2001:db8:1::10"; });
    EXPECT_EQ(ChooseIPv6(dump, 3, IPv6Kind::Stable).address.value_or("none"), "2001:db8:1::d");
    std::erase_if(dump, [](const InterfaceAddress& a) { return a.Text() == "2001:db8:1::d"; });
    EXPECT_EQ(ChooseIPv6(dump, 3, IPv6Kind::Stable).address.value_or("none"), "2001:db8:1::20");
    EXPECT_EQ(ChooseIPv6(dump, 2, IPv6Kind::Stable).reason,
              "no usable IPv6 address");  // rec1: link-local only
    EXPECT_EQ(ChooseIPv6(dump, 9, IPv6Kind::Stable).reason, "the interface has no IPv6 address");
}

TEST(IPv6ChoiceTest, TheNewestPreferredTemporaryAndReachableBeforeUniqueLocal) {
    const auto address = [](const char* text, std::uint32_t flags, std::uint32_t created,
                            std::uint32_t preferred) {
        InterfaceAddress a;
        a.family = AF_INET6;
        a.index = 5;
        a.prefixLength = 64;
        a.bytes = *platform::ParseIPv6(text);
        a.flags = flags;
        a.createdCentiseconds = created;
        a.preferredSeconds = preferred;
        return a;
    };
    const std::vector<InterfaceAddress> dump = {
        address("2a00:1:2:3::b", IFA_F_TEMPORARY, 300, 0),  // newest, but no longer preferred
        address("2a00:1:2:3::a", IFA_F_TEMPORARY, 200, 3600),
        address("2a00:1:2:3::9", IFA_F_TEMPORARY, 100, 3600),
        address("fd00::1", IFA_F_PERMANENT, 50, platform::kForever),
        address("2a00:1:2:3::1", IFA_F_MANAGETEMPADDR, 60, 3600),
    };
    const IPv6Choice temporary = ChooseIPv6(dump, 5, IPv6Kind::Temporary);
    EXPECT_EQ(temporary.address.value_or("none"), "2a00:1:2:3::a");
    EXPECT_EQ(temporary.candidates[2].verdict, "an older temporary address");
    const IPv6Choice stable = ChooseIPv6(dump, 5, IPv6Kind::Stable);
    EXPECT_EQ(stable.address.value_or("none"), "2a00:1:2:3::1");
    EXPECT_EQ(stable.candidates[3].verdict, "a unique local address (RFC 4193), after a reachable one");
    EXPECT_EQ(ParseIPv6Kind(" Temporary"), IPv6Kind::Temporary);
    EXPECT_FALSE(ParseIPv6Kind("privacy"));
}

TEST(RouteMessagesTest, TheLiveDumpHasTheLoopbackAddress) {
    const platform::AddressDump dump = platform::DumpAddresses(platform::MachineClock());
    if (!dump.error.empty())
        GTEST_SKIP() << "no rtnetlink here: " << dump.error;
    const InterfaceAddress* loopback = Find(dump.addresses, "127.0.0.1");
    ASSERT_NE(loopback, nullptr);
    EXPECT_EQ(loopback->label, "lo");
}

TEST(NetlinkAddressEventsTest, OnlyALinkGoingUpOrDownIsAnEvent) {
    std::string why;
    auto events = platform::NetlinkAddressEvents::Open(&why);
    if (!events)
        GTEST_SKIP() << "no rtnetlink here: " << why;
    // rec0 goes down (and loses its link-local address), its peer loses the carrier.
    std::vector<std::string> lines;
    for (const auto& event : events->EventsOf(Recorded("link_down"))) lines.push_back(event.Describe());
    EXPECT_EQ(lines, (std::vector<std::string>{"link down: rec0",
                                               "address removed: fe80::6ca7:b6ff:fefd:5e0d/64 on rec0",
                                               "link down: rec1"}));
    // The same states again (a change of statistics or of the queue) are no event.
    lines.clear();
    for (const auto& event : events->EventsOf(Recorded("link_down"))) lines.push_back(event.Describe());
    EXPECT_EQ(lines, (std::vector<std::string>{"address removed: fe80::6ca7:b6ff:fefd:5e0d/64 on rec0"}));
    // Up again: rec0 is first up without a carrier (still down), then running; then its peer.
    lines.clear();
    for (const auto& event : events->EventsOf(Recorded("link_up"))) lines.push_back(event.Describe());
    EXPECT_EQ(lines, (std::vector<std::string>{"link up: rec0", "link up: rec1"}));
}

// The source is asked as soon as the events settle the outcome, and after the quiet window only when they
// leave it open; each burst is one wake.
TEST(AddressWatchTest, ABurstWakesOnceAsSoonAsItsOutcomeIsSettled) {
    FakeClock clock;
    auto owned = std::make_unique<ScriptedEvents>();
    ScriptedEvents& events = *owned;
    AddressWatch watch(clock, std::move(owned));
    const AddressEvent addedNew{AddressEvent::Kind::AddressAdded, "eth0", "192.0.2.7/24"};
    const AddressEvent removedNew{AddressEvent::Kind::AddressRemoved, "eth0", "192.0.2.7/24"};
    const AddressEvent removedOld{AddressEvent::Kind::AddressRemoved, "eth0", "192.0.2.6/24"};
    const std::int64_t tick = clock.tick + 1000;
    int seen = 0;
    const auto count = [&](const AddressEvent&) { ++seen; };
    const auto wakeAfter = [&](std::vector<std::vector<AddressEvent>> batches) {
        for (auto& batch : batches) events.Push(std::move(batch));
        const std::int64_t start = clock.tick;
        EXPECT_EQ(watch.WaitUntil(tick, count), AddressWatch::Wake::Events);
        return clock.tick - start;
    };
    // A new address added and the old one gone: at once.
    EXPECT_EQ(wakeAfter({{addedNew, removedOld}}), 0);
    // One address alone: after a pause for its other half.
    EXPECT_EQ(wakeAfter({{addedNew}}), AddressWatch::kPairMs);
    // A flap, within the same millisecond: the window after its last event, and once.
    seen = 0;
    EXPECT_EQ(wakeAfter({{addedNew}, {removedNew}, {addedNew}}), AddressWatch::kQuietMs);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(watch.WaitUntil(tick), AddressWatch::Wake::Tick);
    EXPECT_EQ(clock.tick, tick);

    // A flap that never pauses is still answered, at most kSettleMs after its first event.
    clock.waitCostMs = 5;  // each batch comes 5 ms after the one before
    for (int i = 0; i < 30; ++i) events.Push({i % 2 ? removedNew : addedNew});
    const std::int64_t streamStart = clock.tick;
    EXPECT_EQ(watch.WaitUntil(tick + 1000), AddressWatch::Wake::Events);
    EXPECT_EQ(clock.tick - streamStart, 5 + AddressWatch::kSettleMs);
}

// A publication of 192.0.2.7 waits on the publication clock: an unrelated burst lets the wait run on, the
// address's removal ends it (and every later wait of the publication) as a stop would, and the monitor's own
// wait is still told of both bursts.
TEST(AddressChangeClockTest, TheRemovalOfThePublishedAddressEndsThePublicationsWaits) {
    FakeClock base;
    auto owned = std::make_unique<ScriptedEvents>();
    ScriptedEvents& events = *owned;
    AddressWatch watch(base, std::move(owned));
    AddressChangeClock clock(base);
    clock.WatchWith(&watch, nullptr);
    int socket[2];
    ASSERT_EQ(::pipe2(socket, O_CLOEXEC), 0);  // a server that never answers
    {
        const AddressChangeClock::Publication publication(&clock, "192.0.2.7");
        events.Push({{AddressEvent::Kind::AddressAdded, "eth0", "198.51.100.1/24"}});
        pollfd reply{socket[0], POLLIN, 0};
        const std::int64_t replyDeadline = base.tick + 30'000;
        EXPECT_EQ(clock.Poll(&reply, 1, replyDeadline), 0);
        EXPECT_EQ(base.tick, replyDeadline);
        EXPECT_FALSE(publication.Abandoned());

        events.Push({{AddressEvent::Kind::AddressRemoved, "eth0", "192.0.2.7/24"}});
        const std::int64_t start = base.tick;
        EXPECT_EQ(clock.Poll(&reply, 1, start + 30'000), -1);
        EXPECT_EQ(errno, ECANCELED);
        EXPECT_EQ(base.tick - start, AddressWatch::kPairMs);
        EXPECT_EQ(publication.Abandoned(), "192.0.2.7 was removed from this machine during the upload");
        EXPECT_TRUE(clock.Cancelled());
        clock.SleepUntil(base.tick + 3000);  // the pause between attempts
        EXPECT_EQ(base.tick - start, AddressWatch::kPairMs);
    }
    EXPECT_FALSE(clock.Cancelled());
    EXPECT_EQ(watch.WaitUntil(base.tick + 1000), AddressWatch::Wake::Events);
    ::close(socket[0]);
    ::close(socket[1]);
}

TEST(AddressWatchTest, WithoutEventsTheWaitIsTheTick) {
    FakeClock clock;
    AddressWatch watch(clock, nullptr, "netlink: Operation not permitted");
    EXPECT_FALSE(watch.Watching());
    EXPECT_EQ(watch.WaitUntil(clock.tick + 1000), AddressWatch::Wake::Tick);
    EXPECT_EQ(watch.UnavailableReason(), "netlink: Operation not permitted");
}

}  // namespace
}  // namespace signposter
