// The tray icon's menu: its items and their enabling, a right click through the tray shell reaching it,
// the commands it shares with the buttons, Quit through the close handler, start at login, and the tooltip
// of an address visitors cannot reach.
#include <sys/stat.h>

#include <csignal>

#include <QDesktopServices>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include "ui/stop_signals.h"
#include "window_fixture.h"

namespace signposter::ui {
namespace {

using TrayMenuTest = WindowFixture;

QStringList Captions(const QMenu& menu) {
    QStringList captions;
    for (const QAction* action : menu.actions()) captions << (action->isSeparator() ? "-" : action->text());
    return captions;
}

TEST_F(TrayMenuTest, RightClickOpensTheMenuAndLeftClicksStillToggleTheWindowOnce) {
    CreateForm();
    Tray().HandleActivation(QSystemTrayIcon::Context);
    EXPECT_TRUE(Menu().isVisible());
    EXPECT_EQ(Captions(Menu()), (QStringList{"Show Signposter", "Update Now", "Offline", "-", "Settings...",
                                             "Open published page", "Start at login", "-", "Quit"}));
    EXPECT_FALSE(Item("OpenPageItem").isEnabled()) << "no VerifyURL, no page to open";
    EXPECT_EQ(Menu().defaultAction(), nullptr);
    EXPECT_FALSE(form->isVisible());
    Menu().hide();

    // A click and a double click: one toggle, and no menu item runs.
    Tray().HandleActivation(QSystemTrayIcon::Trigger);
    Tray().HandleActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(Menu().isVisible());
    EXPECT_TRUE(messages.empty());

    Tray().HandleActivation(QSystemTrayIcon::Context);
    EXPECT_EQ(Item("ShowItem").text(), "Hide Signposter");
    Item("ShowItem").trigger();
    EXPECT_FALSE(form->isVisible());
    Menu().hide();
    Tray().HandleActivation(QSystemTrayIcon::MiddleClick);
    EXPECT_FALSE(Menu().isVisible());
}

TEST_F(TrayMenuTest, CommandsAreTheButtonsAndRunOneAfterAnotherNeverInsideOne) {
    CreateForm();
    Item("UpdateNowItem").trigger();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "No Host Name\nNo User Name\n");
    EXPECT_TRUE(form->isVisible());

    // Used while Help's box is open, the items queue behind it: each command runs when the one before
    // has ended.
    waitForItems = false;
    form->SetMessageBoxFunction([&](const QString&, const QString& text, MessageIcon) {
        messages.push_back(text);
        if (messages.size() == 2) {
            Item("OfflineItem").trigger();
            Item("UpdateNowItem").trigger();
        }
    });
    messages.clear();
    messages.push_back("before");
    form->velColorButton2click();  // Help
    form->WaitForCore();
    form->WaitForCore();  // and what was posted while it ran
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_TRUE(messages[1].startsWith("Signposter 1.0 - ")) << messages[1].toStdString();
    EXPECT_EQ(messages[2], "No Host Name\nNo User Name\n");
    EXPECT_EQ(messages[3], "No Host Name\nNo User Name\n");
}

// Stands in for the desktop's browser.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

TEST_F(TrayMenuTest, OpenPublishedPageOpensTheVerifyUrlInTheBrowser) {
    WriteSettings("VerifyURL=http://127.0.0.1:8080/ipaddress.htm\r\n");
    CreateForm();
    UrlRecorder browser;
    QDesktopServices::setUrlHandler("http", &browser, "Open");
    Tray().HandleActivation(QSystemTrayIcon::Context);
    ASSERT_TRUE(Item("OpenPageItem").isEnabled());
    Item("OpenPageItem").trigger();
    QDesktopServices::unsetUrlHandler("http");
    EXPECT_EQ(browser.opened, QList<QUrl>{QUrl("http://127.0.0.1:8080/ipaddress.htm")});
    Menu().hide();
}

TEST_F(TrayMenuTest, QuitSavesTheSettingsAndEndsTheProgram) {
    CreateForm();
    Part<QLineEdit>(*form, "Edit2")->setText("ftp.example.org");
    QSignalSpy closed(form.get(), &TForm1::Closed);
    Item("QuitItem").trigger();
    ASSERT_TRUE(QTest::qWaitFor([&closed] { return closed.count() == 1; }, 5000));
    EXPECT_NE(SettingsFile().find("Host=ftp.example.org\r\n"), std::string::npos);
    EXPECT_TRUE(form->EndRequested());
}

TEST_F(TrayMenuTest, SigtermQuitsAsTheMenuDoes) {
    CreateForm();
    Part<QLineEdit>(*form, "Edit2")->setText("ftp.example.net");
    QSignalSpy closed(form.get(), &TForm1::Closed);
    {
        const StopSignals stopSignals([this] { form->close(); });
        ASSERT_EQ(::raise(SIGTERM), 0);
        ASSERT_TRUE(QTest::qWaitFor([&closed] { return closed.count() == 1; }, 5000));
    }
    EXPECT_NE(SettingsFile().find("Host=ftp.example.net\r\n"), std::string::npos);
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);  // given back with the object
}

TEST_F(TrayMenuTest, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    const std::string program = m_config.path().toStdString() + "/bin dir/signposter";
    ::mkdir((m_config.path().toStdString() + "/bin dir").c_str(), 0700);
    testing::WriteFile(program, "#!/bin/sh\n");
    ::chmod(program.c_str(), 0755);
    const std::string entry = m_config.path().toStdString() + "/autostart/signposter.desktop";

    CreateForm(program);
    Tray().HandleActivation(QSystemTrayIcon::Context);
    EXPECT_FALSE(Item("StartAtLoginItem").isChecked());
    Item("StartAtLoginItem").trigger();
    EXPECT_TRUE(Item("StartAtLoginItem").isChecked());
    EXPECT_NE(testing::ReadFile(entry).find("Exec=\"" + program + "\"\n"), std::string::npos);
    Menu().hide();

    // The menu shows what the file says, also after a change made elsewhere.
    testing::WriteFile(entry, testing::ReadFile(entry) + "Hidden=true\n");
    Tray().HandleActivation(QSystemTrayIcon::Context);
    EXPECT_FALSE(Item("StartAtLoginItem").isChecked());
    Menu().hide();
    Item("StartAtLoginItem").trigger();  // on again
    Item("StartAtLoginItem").trigger();  // and off
    EXPECT_FALSE(Item("StartAtLoginItem").isChecked());
    EXPECT_TRUE(testing::ReadFile(entry).empty());
    EXPECT_TRUE(messages.empty());

    form.reset();
    CreateForm(m_config.path().toStdString() + "/missing/signposter");
    Item("StartAtLoginItem").trigger();
    EXPECT_FALSE(Item("StartAtLoginItem").isChecked());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].contains("missing/signposter is missing")) << messages[0].toStdString();
}

TEST_F(TrayMenuTest, TooltipSaysWhenTheSourceFlagsTheAddress) {
    // The interface source answers a carrier-grade NAT address: detected, held back, and the tooltip says
    // why within its 63 characters.
    WriteSettings("Host=127.0.0.1\r\nUser=publisher\r\nAddressSource=Interface\r\nAddressInterface=ppp0\r\n");
    CreateForm();
    form->Timer1Timer();
    EXPECT_TRUE(tip.startsWith("Signposter: 100.64.7.7 held back ")) << tip.toStdString();
    EXPECT_TRUE(tip.endsWith(": carrier-grade NAT")) << tip.toStdString();

    PublicationOutcome published;
    published.address = "192.168.100.100";
    published.addressClass = AddressClass::Private;
    published.reason = "a private address (RFC 1918), visitors outside this network cannot reach it";
    form->ShowOutcome(published);
    EXPECT_TRUE(tip.startsWith("Signposter: 192.168.100.100 published ")) << tip.toStdString();
    EXPECT_TRUE(tip.endsWith(": private")) << tip.toStdString();
    EXPECT_LE(tip.size(), kMaxTipLength);

    // A source's reason is network text: its control bytes never reach the tooltip.
    PublicationOutcome unavailable;
    unavailable.kind = PublicationOutcome::Kind::AddressUnavailable;
    unavailable.reason = "HTTP 500 \x1b[2J";
    form->ShowOutcome(unavailable);
    EXPECT_FALSE(tip.contains(QChar(0x1b)));
}

}  // namespace
}  // namespace signposter::ui

#include "tray_menu_test.moc"
