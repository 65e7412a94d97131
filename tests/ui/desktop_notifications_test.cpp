// Failures told on the desktop: the window against a host that turns every connection away, with a
// notification service of our own on a private session bus (dbus-run-session) recording what it is told.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ftp/scripted_ftp_server.h"
#include "support/fake_clock.h"
#include "ui/notifier.h"
#include "ui/window_fixture.h"

namespace signposter::ui {
namespace {

class DesktopNotificationsTest : public WindowFixture {
protected:
    // The window goes before the clock and the host it uses.
    void TearDown() override { form.reset(); }

    // A host that greets every connection with "try later" and hangs up: each attempt fails, and is tried
    // again. The pauses between attempts pass at once on the test's clock.
    void CreateFailingForm(const std::string& extraSettings = {}) {
        m_server = std::make_unique<testing::ScriptedFtpServer>();
        m_server->SetGreeting(testing::SayThenClose("421 Too many users, try later.\r\n"));
        WriteSettings("Host=127.0.0.1\r\nPort=" + std::to_string(m_server->Port()) +
                      "\r\nUser=publisher\r\nPassword=secret\r\nLastIP=203.0.113.7\r\n" + extraSettings);
        CreateForm({}, &m_clock);
    }

    std::vector<std::string> Recorded() const {
        std::vector<std::string> lines;
        const std::string text = testing::ReadFile(std::getenv("SIGNPOSTER_NOTIFY_RECORD"));
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }

    testing::FakeClock m_clock;
    std::unique_ptr<testing::ScriptedFtpServer> m_server;
};

TEST_F(DesktopNotificationsTest, OneNoticePerFailureAndOneWhenPublishedAgain) {
    if (!std::getenv("SIGNPOSTER_NOTIFY_RECORD")) {
        // This test again, in a program of its own on a private session bus with the service: the program
        // reaches the bus the first time it has something to tell. Started before this process has any
        // thread of its own, as the thread sanitizer wants of a fork.
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        const std::string command =
            "dbus-run-session -- /usr/bin/python3 " SIGNPOSTER_FAKE_NOTIFICATIONS " --run '" + self +
            "' --gtest_filter=" + ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() +
            "." + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        EXPECT_EQ(std::system(command.c_str()), 0);
        return;
    }
    CreateFailingForm();
    QSignalSpy delivered(&form->Notifier(), &DesktopNotifier::Delivered);
    Item("UpdateNowItem").trigger();
    EXPECT_EQ(m_server->ControlConnections(), 5);
    ASSERT_TRUE(QTest::qWaitFor([this] { return Recorded().size() == 1; }, 10000));
    // Tried again and failed the same way: nothing new to tell.
    Item("UpdateNowItem").trigger();
    EXPECT_EQ(m_server->ControlConnections(), 10);

    // The host is back.
    m_server->SetGreeting(testing::Say("220 Ready.\r\n"));
    Item("UpdateNowItem").trigger();
    ASSERT_TRUE(QTest::qWaitFor([this] { return Recorded().size() == 2; }, 10000));
    QTest::qWait(100);
    const std::vector<std::string> recorded = Recorded();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].rfind("Signposter: not published\t", 0), 0u) << recorded[0];
    EXPECT_NE(recorded[0].find("421"), std::string::npos) << recorded[0];
    EXPECT_EQ(recorded[1].rfind("Signposter: published again\t203.0.113.7 published", 0), 0u) << recorded[1];
    ASSERT_EQ(delivered.count(), 2);
    for (const QList<QVariant>& call : delivered) EXPECT_TRUE(call.at(1).toBool());
}

TEST_F(DesktopNotificationsTest, NotifyOffTellsNothing) {
    CreateFailingForm("Notify=0\r\n");
    QSignalSpy delivered(&form->Notifier(), &DesktopNotifier::Delivered);
    Item("UpdateNowItem").trigger();
    ASSERT_EQ(m_server->ControlConnections(), 5);
    QCoreApplication::processEvents();
    EXPECT_EQ(delivered.count(), 0);
}

}  // namespace
}  // namespace signposter::ui
