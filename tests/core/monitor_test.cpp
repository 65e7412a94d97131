#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "core/monitor.h"
#include "core/publisher.h"
#include "core/publishing_core.h"
#include "core/runner.h"
#include "core/settings.h"
#include "ftp/id_ftp.h"
#include "platform/ip_address.h"
#include "platform/stop_request.h"
#include "support/publishing_fixture.h"
#include "support/scripted_address_events.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using namespace signposter::testing;
using Kind = PublicationOutcome::Kind;

class ScriptedLookup : public HostLookup {
public:
    std::optional<std::string> HostName() override { return "host"; }
    std::optional<std::vector<std::string>> ResolveIPv4(const std::string&) override {
        ++lookups;
        if (address.empty())
            return std::nullopt;
        return std::vector<std::string>{address};
    }
    std::vector<std::string> InterfaceIPv4() override { return {}; }
    std::string address = "203.0.113.7";
    int lookups = 0;
};

class MonitorTest : public PublishingFixture {
protected:
    void Configure() {
        m_fields.SetText(TextField::Host, "127.0.0.1");
        m_fields.SetText(TextField::Port, std::to_string(m_server.Port()));
        m_fields.SetText(TextField::User, "bob");
    }
    std::string Path() const { return m_dir.File("signposter.ini"); }

    ScriptedLookup m_lookup;
    Monitor m_monitor{m_fields, m_ui, m_state, m_lookup, m_clock, m_ftp, Path()};
};

TEST_F(MonitorTest, FirstStartWithoutSettingsAsksForHostAndUserAndStops) {
    m_monitor.FormCreate();
    m_monitor.Timer1Timer();
    ASSERT_EQ(m_ui.messages.size(), 1u);
    EXPECT_EQ(m_ui.messages[0].caption, "Information");
    EXPECT_EQ(m_ui.messages[0].text, "No Host Name\rNo User Name\r");
    EXPECT_EQ(m_ui.messages[0].icon, MessageIcon::Information);
    EXPECT_FALSE(m_ui.timerEnabled);
    EXPECT_TRUE(m_ui.visible);
    EXPECT_EQ(m_lookup.lookups, 0);
    EXPECT_FALSE(std::filesystem::exists(Path()));  // loading alone never creates the file
}

TEST_F(MonitorTest, ValidationMessagesComeInOrderAndAnEmptyPortBecomes21Silently) {
    m_fields.SetText(TextField::Host, " \t");
    m_fields.SetText(TextField::Port, "  ");
    m_fields.SetChecked(Switch::UserTemplate, true);
    m_fields.SetChecked(Switch::InternalNoRedirect, true);
    m_state.TemplateFile = m_dir.File("missing.htm");
    m_state.CurrentIP = "1.2.3.4";
    EXPECT_FALSE(m_monitor.ValidateSettings());
    EXPECT_EQ(
        m_ui.messages.back().text,
        "User Template not found\rNo Host Name\rNo User Name\rPlease select one template option only.\r");
    EXPECT_EQ(m_fields.Text(TextField::Port), "21");
    EXPECT_EQ(m_fields.Text(TextField::AddressDisplay), "1.2.3.4");
    EXPECT_TRUE(m_ui.timerEnabled);  // validation itself leaves the timer on; callers stop it

    Configure();
    for (auto which : {Switch::InternalRedirect, Switch::InternalNoRedirect, Switch::UserTemplate}) {
        m_fields.SetChecked(which, false);
    }
    EXPECT_FALSE(m_monitor.ValidateSettings());
    EXPECT_EQ(m_ui.messages.back().text, "Please select a template option.\r");
    m_fields.SetChecked(Switch::InternalRedirect, true);
    const auto shown = m_ui.messages.size();
    EXPECT_TRUE(m_monitor.ValidateSettings());
    EXPECT_EQ(m_ui.messages.size(), shown);
}

TEST_F(MonitorTest, FtpsSettingsAreValidatedAfterTheOthersAndOnlyWhenSet) {
    Configure();
    m_state.FtpSecurity = "ImplicitSSL";
    m_state.TlsTrustFile = m_dir.File("missing.pem");
    m_state.TlsFingerprint = "AB:CD";
    m_fields.SetText(TextField::Host, "");
    EXPECT_FALSE(m_monitor.ValidateSettings());
    EXPECT_EQ(m_ui.messages.back().text,
              "No Host Name\rUnknown FtpSecurity value\rTLS trust file not found\r"
              "TLS fingerprint must be 64 hex digits\r");
    Configure();
    m_state.FtpSecurity = "explicitTLS";
    m_state.TlsTrustFile = "";
    m_state.TlsFingerprint = std::string(32, 'a') + ":" + std::string(32, 'B');
    EXPECT_TRUE(m_monitor.ValidateSettings());
}

TEST_F(MonitorTest, ChangedAddressIsSavedThenPublishedAndAnUnchangedOneIsNot) {
    m_monitor.FormCreate();
    Configure();
    m_monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(m_ui.outcomes[0].kind, Kind::Published);
    EXPECT_NE(ReadFile(Path()).find("LastIP=203.0.113.7\r\n"), std::string::npos);
    EXPECT_EQ(m_state.PreviousIP, "");
    m_monitor.Timer1Timer();
    EXPECT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_FALSE(m_state.Busy);

    // After a restart the stored address is not published again.
    ProgramState restarted;
    FakeUserInterface ui2;
    Monitor second{m_fields, ui2, restarted, m_lookup, m_clock, m_ftp, Path()};
    second.FormCreate();
    second.Timer1Timer();
    EXPECT_TRUE(ui2.outcomes.empty());
    EXPECT_EQ(m_server.ControlConnections(), 1);
}

TEST_F(MonitorTest, ErrorsLeavingATickAreShownAndMonitoringGoesOn) {
    m_monitor.FormCreate();
    Configure();
    m_fields.SetText(TextField::Port, "abc");  // passes validation, fails at publication
    m_monitor.Timer1Timer();
    ASSERT_EQ(m_ui.messages.size(), 1u);
    EXPECT_EQ(m_ui.messages[0].caption, "Signposter");
    EXPECT_EQ(m_ui.messages[0].text, "'abc' is not a valid integer value.");
    EXPECT_EQ(m_ui.messages[0].icon, MessageIcon::Error);
    EXPECT_FALSE(m_state.Busy);
    EXPECT_TRUE(m_ui.timerEnabled);
    m_lookup.address = "198.51.100.2";
    m_fields.SetText(TextField::Port, std::to_string(m_server.Port()));
    m_monitor.Timer1Timer();
    EXPECT_EQ(m_ui.outcomes.back().kind, Kind::Published);
}

TEST_F(MonitorTest, DefaultErrorDisplayAppendsAFullStopOnlyAfterCharactersSortingAfterIt) {
    EXPECT_EQ(DefaultErrorText("abc"), "abc.");
    EXPECT_EQ(DefaultErrorText("abc."), "abc.");
    EXPECT_EQ(DefaultErrorText("abc!"), "abc!");
    EXPECT_EQ(DefaultErrorText("Socket Error # 10061\r\nConnection refused."),
              "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(DefaultErrorText("/tmp/x/"), "/tmp/x/.");
    EXPECT_EQ(DefaultErrorText(""), "");
}

TEST_F(MonitorTest, UpdateNowPublishesTheStoredAddressWithoutDetecting) {
    m_state.CurrentIP = "192.0.2.44";
    Configure();
    m_ui.visible = true;
    m_monitor.UpdateNowCommand();
    EXPECT_EQ(m_lookup.lookups, 0);
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(m_ui.outcomes[0].address, "192.0.2.44");
    EXPECT_FALSE(m_ui.visible);
    EXPECT_TRUE(m_ui.timerEnabled);
    EXPECT_TRUE(std::filesystem::exists(Path()));  // saved before validating
}

TEST_F(MonitorTest, CommandsWithInvalidSettingsSaveAnywayThenStopAndShowTheWindow) {
    for (auto command : {&Monitor::MonitorIpCommand, &Monitor::UpdateNowCommand, &Monitor::OfflineCommand}) {
        m_ui.visible = false;
        m_ui.timerEnabled = true;
        (m_monitor.*command)();
        EXPECT_TRUE(m_ui.visible);
        EXPECT_FALSE(m_ui.timerEnabled);
    }
    EXPECT_TRUE(std::filesystem::exists(Path()));
    EXPECT_TRUE(m_ui.outcomes.empty());
}

TEST_F(MonitorTest, OfflineShowsOfflineUntilTheNextTickPutsTheAddressBack) {
    Configure();
    m_state.CurrentIP = "203.0.113.7";
    m_monitor.OfflineCommand();
    EXPECT_EQ(m_fields.Text(TextField::AddressDisplay), "OFFLINE");
    EXPECT_EQ(m_ui.outcomes.back().kind, Kind::Published);
    m_monitor.Timer1Timer();
    EXPECT_EQ(m_fields.Text(TextField::AddressDisplay), "203.0.113.7");
}

TEST_F(MonitorTest, HelpStopsTheTimerForItsBoxAndAlwaysRestartsIt) {
    m_ui.timerEnabled = false;
    bool timerDuringBox = true;
    m_ui.onMessage = [&] { timerDuringBox = m_ui.timerEnabled; };
    m_monitor.HelpCommand();
    EXPECT_FALSE(timerDuringBox);
    EXPECT_TRUE(m_ui.timerEnabled);
    const std::string help = m_ui.messages.back().text;
    EXPECT_EQ(std::count(help.begin(), help.end(), '\r'), 24);  // 25 lines
    EXPECT_NE(help.find("\r\rSignposter can be used to create a permanent URL Name for a server\r"),
              std::string::npos);
    EXPECT_NE(help.find("\rcurrent IP Address.\r\r"), std::string::npos);
    EXPECT_EQ(help.find('\n'), std::string::npos);
}

TEST_F(MonitorTest, TrayClickTogglesTheWindow) {
    m_monitor.TrayIconClick();
    EXPECT_TRUE(m_ui.visible);
    m_monitor.TrayIconClick();
    EXPECT_FALSE(m_ui.visible);
}

TEST_F(MonitorTest, CloseSavesAndReportsAFailedSave) {
    Configure();
    EXPECT_TRUE(m_monitor.FormClose());
    ::chmod(Path().c_str(), 0444);
    EXPECT_FALSE(m_monitor.FormClose());
    ASSERT_EQ(m_ui.messages.size(), 1u);
    EXPECT_EQ(m_ui.messages[0].text, "Cannot create file " + Path() + ".");
}

TEST_F(MonitorTest, RetryThatRaisesIsShownOncePerRetryIntervalNotEveryTick) {
    Configure();
    m_server.Script("PASS", Say("421 Try later.\r\n"));
    m_monitor.Timer1Timer();
    ASSERT_TRUE(m_monitor.GetPublisher().HasPending());
    m_fields.SetText(TextField::Port, "abc");
    m_clock.tick += 61'000;
    for (int tick = 0; tick < 5; ++tick) {
        m_monitor.Timer1Timer();
        m_clock.tick += 1000;
    }
    EXPECT_EQ(m_ui.messages.size(), 1u);
    EXPECT_EQ(m_ui.messages[0].text, "'abc' is not a valid integer value.");
    EXPECT_EQ(*m_monitor.GetPublisher().MillisecondsUntilRetry(), 120'000 - 5'000);
}

TEST_F(MonitorTest, PendingPublicationIsRetriedWhenDueAndAfterARestart) {
    Configure();
    ASSERT_TRUE(m_monitor.FormClose());
    m_server.Script("PASS",
                    {Say("421 Try later.\r\n"), Say("421 Try later.\r\n"), Say("421 Try later.\r\n"),
                     Say("421 Try later.\r\n"), Say("421 Try later.\r\n"), Say("230 Logged in.\r\n")});
    m_monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.back().kind, Kind::Failed);
    const std::string pending = ReadFile(Path());
    ASSERT_NE(pending.find("LastIP=203.0.113.7\r\nPendingPublication=1\r\n"), std::string::npos);
    m_clock.tick += 30'000;
    m_monitor.Timer1Timer();
    EXPECT_EQ(m_ui.outcomes.size(), 1u);  // not due yet
    ASSERT_TRUE(m_monitor.FormClose());

    // Stopped and started again with the same address: the start publishes what was still pending, and the
    // file is then as it was without a pending publication.
    FakeLiveSettings fields;
    ProgramState state;
    Monitor restarted{fields, m_ui, state, m_lookup, m_clock, m_ftp, Path()};
    restarted.FormCreate();
    restarted.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 2u);
    EXPECT_EQ(m_ui.outcomes.back().kind, Kind::Published);
    EXPECT_FALSE(restarted.GetPublisher().HasPending());
    // The failure started the record `status` reads; the success keeps it up to date.
    EXPECT_NE(pending.find("PendingPublication=1\r\nLastOutcome=failed\r\n"), std::string::npos) << pending;
    EXPECT_NE(pending.find("\r\nNextRetry="), std::string::npos) << pending;
    const std::string after = ReadFile(Path());
    EXPECT_EQ(after.substr(0, after.find("LastOutcome=")),
              pending.substr(0, pending.find("PendingPublication=")));
    EXPECT_NE(after.find("LastOutcome=published\r\n"), std::string::npos) << after;
    EXPECT_NE(after.find("LastPublishedAddress=203.0.113.7\r\n"), std::string::npos) << after;
    EXPECT_EQ(after.find("NextRetry="), std::string::npos) << after;
}

// The interface of a machine behind carrier-grade NAT with a global IPv6 address, as the kernel lists it.
class DualStackLookup : public ScriptedLookup {
public:
    std::vector<platform::InterfaceEntry> Interfaces() override { return {{"wan0", true, ipv4}}; }
    unsigned InterfaceIndex(const std::string& name) override { return name == "wan0" ? 7 : 0; }
    platform::AddressDump Addresses() override {
        platform::AddressDump dump;
        for (const std::string& text : ipv6) {
            platform::InterfaceAddress entry;
            entry.family = AF_INET6;
            entry.index = 7;
            entry.prefixLength = 64;
            entry.flags = IFA_F_PERMANENT;
            entry.bytes = *platform::ParseIPv6(text);
            dump.addresses.push_back(entry);
        }
        return dump;
    }
    std::string ipv4 = "100.64.1.2";
    std::vector<std::string> ipv6 = {"2a02:1:2:3::10"};
};

TEST_F(MonitorTest, BothFamiliesBehindCarrierGradeNatPublishTheIPv6AddressAndEitherChangeRepublishes) {
    DualStackLookup lookup;
    Monitor monitor{m_fields, m_ui, m_state, lookup, m_clock, m_ftp, Path()};
    monitor.FormCreate();
    Configure();
    m_state.AddressSource = "Interface";
    m_state.AddressInterface = "wan0";
    m_state.AddressFamily = "Both";
    monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(m_ui.outcomes[0].kind, Kind::Published);
    EXPECT_EQ(m_ui.outcomes[0].address, "2a02:1:2:3::10");
    ASSERT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_NE(m_server.Uploads()[0].find("http://[2a02:1:2:3::10]"), std::string::npos);
    EXPECT_NE(ReadFile(Path()).find("LastIP=100.64.1.2\r\n"), std::string::npos);
    EXPECT_NE(ReadFile(Path()).find("LastIP6=2a02:1:2:3::10\r\n"), std::string::npos);

    // A change of the IPv6 address alone republishes.
    lookup.ipv6 = {"2a02:1:2:3::11"};
    m_clock.tick += kSafetyCheckMs;
    monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 2u);
    EXPECT_EQ(m_ui.outcomes[1].address, "2a02:1:2:3::11");
    // Once the IPv4 address is public, it is the one the page carries.
    lookup.ipv4 = "81.2.69.160";
    m_clock.tick += kSafetyCheckMs;
    monitor.Timer1Timer();
    ASSERT_EQ(m_ui.outcomes.size(), 3u);
    EXPECT_EQ(m_ui.outcomes[2].kind, Kind::Published);
    EXPECT_EQ(m_ui.outcomes[2].address, "81.2.69.160");
    m_clock.tick += kSafetyCheckMs;
    monitor.Timer1Timer();
    EXPECT_EQ(m_ui.outcomes.size(), 3u);
}


// The one loop that runs the core, on the test's thread with a driven clock: each wait the clock is given
// passes at once when nothing is ready within a moment of real time.
class RunnerTest : public PublishingFixture {
protected:
    RunnerTest() {
        auto events = std::make_unique<ScriptedEvents>();
        m_events = events.get();
        m_core.UseAddressEvents(std::move(events));
    }
    void SetUp() override {
        PublishingFixture::SetUp();
        WriteFile(Path(), "[Settings]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(m_server.Port()) +
                              "\r\nUser=bob\r\n");
        m_core.GetMonitor().FormCreate();
    }
    std::string Path() const { return m_dir.File("signposter.ini"); }
    // Ends the run after the step in which `done` first holds.
    void RunUntil(std::function<bool()> done) {
        m_runner.SetAfterStep([this, done] {
            if (done())
                m_runner.Finish();
        });
        m_runner.Run();
    }
    int Stores() const {
        const auto commands = m_server.Commands();
        return static_cast<int>(std::count_if(commands.begin(), commands.end(),
                                              [](const std::string& line) { return line.rfind("STOR ", 0) == 0; }));
    }

    ScriptedLookup m_lookup;
    ScriptedEvents* m_events = nullptr;
    platform::StopRequest m_stop;
    PublishingCore m_core{m_fields, m_ui, Path(), CoreServices{&m_lookup, &m_clock, nullptr, nullptr}};
    Runner m_runner{m_core, m_ui, m_stop, Runner::AtStop::Return};
};

TEST_F(RunnerTest, CommandsRunInOrderBeforeTheFirstTickOneIntervalAfterStartAndEventsAskAtOnce) {
    std::vector<std::string> order;
    m_runner.Post([&] { order.push_back("first"); });
    m_runner.Post([&] { order.push_back("second"); });
    const std::int64_t start = m_clock.tick;
    std::int64_t tickedAt = 0;
    RunUntil([&] {
        if (m_lookup.lookups == 1 && !tickedAt)
            tickedAt = m_clock.tick;
        return tickedAt != 0;
    });
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(tickedAt, start + 1000);
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(m_ui.outcomes[0].kind, Kind::Published);

    // A burst of address events asks the source when it settles, long before the next tick.
    m_lookup.address = "203.0.113.8";
    m_events->Push({{AddressEvent::Kind::AddressAdded, "eth0", "203.0.113.8/24"}});
    const std::int64_t pushed = m_clock.tick;
    RunUntil([&] { return m_lookup.lookups == 2; });
    EXPECT_LT(m_clock.tick, pushed + 1000);
    EXPECT_EQ(Stores(), 2);

    // A page that moves is published at its new place at the next tick, as `set HTML=` makes it move.
    std::string file = ReadFile(Path());
    file.replace(file.find("HTML=ipaddress.htm"), 18, "HTML=moved.htm");
    WriteFile(Path(), file);
    RunUntil([&] { return Stores() == 3; });
    const auto commands = m_server.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "STOR moved.htm"), commands.end());
    EXPECT_EQ(m_ui.outcomes.back().kind, Kind::Published);
}

TEST_F(RunnerTest, ACommandArrivingDuringAPublicationWaitsForItAndUpdateNowAddsOnlyWhatChanged) {
    m_server.Script("PASS", Say("421 Try later.\r\n"));
    std::vector<std::size_t> outcomesSeen;
    // Clicks as the second attempt begins: "Update Now" before and twice after a change of the password.
    m_ui.onProgress = [&](int attempt) {
        if (attempt != 2 || m_core.GetPublisher().PublicationsEnded() > 0)
            return;
        const std::uint64_t seen = m_core.GetPublisher().PublicationsEnded();
        Monitor& monitor = m_core.GetMonitor();
        m_runner.Post([&] { outcomesSeen.push_back(m_ui.outcomes.size()); });
        m_runner.Post([&monitor, seen] { monitor.UpdateNowCommand(seen); });
        m_runner.Post([&] { m_fields.SetText(TextField::Password, "corrected"); });
        m_runner.Post([&monitor, seen] { monitor.UpdateNowCommand(seen); });
        m_runner.Post([&monitor, seen] { monitor.UpdateNowCommand(seen); });
        m_runner.Post([this] { m_runner.Finish(); });
    };
    m_runner.Run();
    EXPECT_EQ(outcomesSeen, std::vector<std::size_t>{1});  // the publication had ended
    // The running publication answered the first click; one more followed the change, not one per click.
    EXPECT_EQ(m_ui.outcomes.size(), 2u);
    EXPECT_EQ(m_core.GetPublisher().PublicationsEnded(), 2u);
    EXPECT_EQ(m_server.ControlConnections(), 2 * Publisher::kAttempts);
}

TEST_F(RunnerTest, AStopEndsTheWaitAndOnlyCommandsMeantForTheEndStillRun) {
    std::vector<std::string> ran;
    m_runner.Post([&] { m_stop.Request(); });
    m_runner.Post([&] { ran.push_back("skipped"); });
    m_runner.Post([&] { ran.push_back("closing"); }, true);
    m_runner.Run();  // AtStop::Return: ends once the commands are done
    EXPECT_EQ(ran, std::vector<std::string>{"closing"});
    EXPECT_EQ(m_lookup.lookups, 0);  // no tick after the stop

    // The window's runner waits for its closing command instead.
    Runner window(m_core, m_ui, m_stop, Runner::AtStop::WaitForCommands);
    std::thread closer([&] { window.Post([&] { window.Finish(); }, true); });
    window.Run();
    closer.join();
    EXPECT_TRUE(window.Ended());
}

}  // namespace
}  // namespace signposter
