// The main window at work: the template option group, loading and saving the settings, validation, the
// tray icon's clicks and the outcome in the tooltip.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "ui/controls/filename_edit.h"
#include "ui/controls/p_check.h"
#include "ui/form_parts.h"
#include "ui/main_window.h"
#include "ui/window_fixture.h"

namespace signposter::ui {
namespace {

struct Message {
    QString caption;
    QString text;
    MessageIcon icon;
};

class WindowBehaviourTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_config.isValid());
        setenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit().constData(), 1);
        TPCustomCheck::SetSoundPlayer([] {});
    }

    void TearDown() override {
        if (form) {
            // Let the window go without running its close handler against a read-only file.
            ::chmod(SettingsPath().c_str(), 0644);
        }
    }

    std::string SettingsPath() const { return (m_config.path() + "/signposter.ini").toStdString(); }

    void WriteSettings(const std::string& lines) {
        std::ofstream file(SettingsPath(), std::ios::binary);
        file << "[Settings]\r\n" << lines;
    }

    void CreateForm(const Clock* clock = nullptr) {
        WindowServices services;
        services.lookup = &m_lookup;
        services.clock = clock;
        services.trayShell = std::make_unique<TipRecorder>(tip);
        form = std::make_unique<TForm1>(std::move(services));
        form->SetTimerEnabled(false);
        form->SetMessageBoxFunction([this](const QString& caption, const QString& text, MessageIcon icon) {
            messages.push_back({caption, text, icon});
        });
    }

    void ShowForm() {
        form->ShowMainWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }

    std::vector<bool> Options() const {
        return {Part<TPCheck>(*form, "PCheck2")->Checked(), Part<TPCheck>(*form, "PCheck3")->Checked(),
                Part<TPCheck>(*form, "PCheck4")->Checked()};
    }

    static void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(5, 9)); }

    QTemporaryDir m_config;
    FixedLookup m_lookup;
    QString tip;
    std::vector<Message> messages;
    testing::FakeClock m_clock;
    std::unique_ptr<TForm1> form;
};

TEST_F(WindowBehaviourTest, OptionsBehaveAsAGroupThatCannotBeEmptied) {
    CreateForm();
    ShowForm();

    Click(Part<TPCheck>(*form, "PCheck3"));
    EXPECT_EQ(Options(), (std::vector<bool>{false, true, false}));
    EXPECT_FALSE(Part<TFilenameEdit>(*form, "FilenameEdit1")->isEnabled());

    Click(Part<TPCheck>(*form, "PCheck4"));
    EXPECT_EQ(Options(), (std::vector<bool>{false, false, true}));
    EXPECT_TRUE(Part<TFilenameEdit>(*form, "FilenameEdit1")->isEnabled());

    // Clicking the option that is already on leaves it on.
    Click(Part<TPCheck>(*form, "PCheck4"));
    EXPECT_EQ(Options(), (std::vector<bool>{false, false, true}));
    EXPECT_TRUE(Part<TFilenameEdit>(*form, "FilenameEdit1")->isEnabled());

    Click(Part<TPCheck>(*form, "PCheck2"));
    EXPECT_EQ(Options(), (std::vector<bool>{true, false, false}));
    EXPECT_FALSE(Part<TFilenameEdit>(*form, "FilenameEdit1")->isEnabled());
}

TEST_F(WindowBehaviourTest, PressReleasedOutsideTogglesWithoutTheGroupRules) {
    CreateForm();
    ShowForm();

    QTest::mousePress(Part<TPCheck>(*form, "PCheck2"), Qt::LeftButton, {}, QPoint(5, 9));
    QTest::mouseRelease(Part<TPCheck>(*form, "PCheck2"), Qt::LeftButton, {}, QPoint(5, 60));
    EXPECT_EQ(Options(), (std::vector<bool>{false, false, false}));

    QTest::mousePress(Part<TPCheck>(*form, "PCheck3"), Qt::LeftButton, {}, QPoint(5, 9));
    QTest::mouseRelease(Part<TPCheck>(*form, "PCheck3"), Qt::LeftButton, {}, QPoint(300, 9));
    QTest::mousePress(Part<TPCheck>(*form, "PCheck4"), Qt::LeftButton, {}, QPoint(5, 9));
    QTest::mouseRelease(Part<TPCheck>(*form, "PCheck4"), Qt::LeftButton, {}, QPoint(300, 9));
    EXPECT_EQ(Options(), (std::vector<bool>{false, true, true}));
    // The group stays as the user left it until validation reports it.
    EXPECT_FALSE(Part<TFilenameEdit>(*form, "FilenameEdit1")->isEnabled());
}

TEST_F(WindowBehaviourTest, LoadedOptionsAreShownAsStoredAndValidationReportsTwo) {
    WriteSettings("Host=ftp.example.org\r\nUser=page\r\nInternalYes=1\r\nInternalNo=0\r\nUserTemplate=1\r\n");
    CreateForm();
    EXPECT_EQ(Options(), (std::vector<bool>{true, false, true}));
    // Loading sets the state only: the file field waits for a click on the option.
    EXPECT_FALSE(Part<TFilenameEdit>(*form, "FilenameEdit1")->isEnabled());
    EXPECT_EQ(Part<QLineEdit>(*form, "Edit2")->text(), "ftp.example.org");

    form->Timer1Timer();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Information");
    EXPECT_TRUE(messages[0].text.contains("Please select one template option only."));
    EXPECT_TRUE(form->isVisible());
}

TEST_F(WindowBehaviourTest, FailedValidationShowsTheWindowAndStopsTheTimer) {
    CreateForm();
    form->SetTimerEnabled(true);
    ASSERT_FALSE(form->isVisible());

    form->Timer1Timer();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Information");
    EXPECT_EQ(messages[0].icon, MessageIcon::Information);
    EXPECT_TRUE(messages[0].text.startsWith("No Host Name\nNo User Name"));
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(Part<QTimer>(*form, "Timer1")->isActive());
}

TEST_F(WindowBehaviourTest, CloseKeepsTheWindowOpenWhenTheSettingsCannotBeSaved) {
    WriteSettings("Host=old.example.org\r\n");
    ::chmod(SettingsPath().c_str(), 0444);
    CreateForm();
    ShowForm();
    QSignalSpy closed(form.get(), &TForm1::Closed);

    Part<QLineEdit>(*form, "Edit2")->setText("new.example.org");
    form->close();
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(closed.count(), 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Signposter");
    EXPECT_EQ(messages[0].icon, MessageIcon::Error);
    EXPECT_EQ(messages[0].text, QString::fromStdString("Cannot create file " + SettingsPath() + "."));

    // Writable again: the close saves and ends the program.
    ::chmod(SettingsPath().c_str(), 0644);
    form->close();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(closed.count(), 1);
    QFile file(QString::fromStdString(SettingsPath()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("Host=new.example.org"));
}

TEST_F(WindowBehaviourTest, TrayClickTogglesTheWindowOncePerClickOrDoubleClick) {
    CreateForm();
    EXPECT_FALSE(form->isVisible());
    Part<TCoolTrayIcon>(*form, "CoolTrayIcon1")->HandleActivation(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form->isVisible());
    Part<TCoolTrayIcon>(*form, "CoolTrayIcon1")->HandleActivation(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(form->isVisible());

    Part<TCoolTrayIcon>(*form, "CoolTrayIcon1")->HandleActivation(QSystemTrayIcon::Trigger);
    Part<TCoolTrayIcon>(*form, "CoolTrayIcon1")->HandleActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(form->isVisible());

    // The other buttons do nothing visible.
    Part<TCoolTrayIcon>(*form, "CoolTrayIcon1")->HandleActivation(QSystemTrayIcon::Context);
    Part<TCoolTrayIcon>(*form, "CoolTrayIcon1")->HandleActivation(QSystemTrayIcon::MiddleClick);
    EXPECT_TRUE(form->isVisible());
}

TEST_F(WindowBehaviourTest, PublicationOutcomeBecomesTheTooltip) {
    CreateForm();
    EXPECT_TRUE(tip.isEmpty());

    PublicationOutcome published;
    published.address = "203.0.113.7";
    published.when = std::time(nullptr);
    form->ReportOutcome(published);
    EXPECT_TRUE(tip.startsWith("Signposter: 203.0.113.7 published "));

    PublicationOutcome failed;
    failed.kind = PublicationOutcome::Kind::Failed;
    failed.when = std::time(nullptr);
    failed.errorMessage = "Socket Error # 10061 Connection refused. and then a much longer explanation";
    form->ReportOutcome(failed);
    EXPECT_TRUE(tip.startsWith("Signposter: upload failed "));
    EXPECT_EQ(tip.size(), kMaxTipLength);
}

TEST_F(WindowBehaviourTest, LiveSettingsAreTheWidgets) {
    CreateForm();
    const std::pair<TextField, QLineEdit*> fields[] = {
        {TextField::Port, Part<QLineEdit>(*form, "Edit1")},
        {TextField::Host, Part<QLineEdit>(*form, "Edit2")},
        {TextField::User, Part<QLineEdit>(*form, "Edit3")},
        {TextField::Password, Part<QLineEdit>(*form, "Edit4")},
        {TextField::PageName, Part<QLineEdit>(*form, "Edit5")},
        {TextField::RemotePath, Part<QLineEdit>(*form, "Edit6")},
        {TextField::AddressDisplay, Part<QLineEdit>(*form, "Edit7")},
        {TextField::TemplateFile, Part<TFilenameEdit>(*form, "FilenameEdit1")},
    };
    for (const auto& [field, edit] : fields) {
        edit->setText("typed \xc3\xa9");
        EXPECT_EQ(form->Text(field), "typed \xc3\xa9");
        form->SetText(field, "set");
        EXPECT_EQ(edit->text(), "set");
    }
    const std::pair<Switch, TPCheck*> switches[] = {
        {Switch::Passive, Part<TPCheck>(*form, "PCheck1")},
        {Switch::InternalRedirect, Part<TPCheck>(*form, "PCheck2")},
        {Switch::InternalNoRedirect, Part<TPCheck>(*form, "PCheck3")},
        {Switch::UserTemplate, Part<TPCheck>(*form, "PCheck4")},
        {Switch::Active, Part<TPCheck>(*form, "PCheck5")},
    };
    for (const auto& [which, check] : switches) {
        QSignalSpy clicks(check, &TPCheck::OnClick);
        form->SetChecked(which, !check->Checked());
        EXPECT_EQ(form->Checked(which), check->Checked());
        check->SetChecked(!check->Checked());
        EXPECT_EQ(form->Checked(which), check->Checked());
        EXPECT_EQ(clicks.count(), 0);
    }
}

TEST_F(WindowBehaviourTest, DispatchingServesEventsUntilTheDeadline) {
    CreateForm();
    bool served = false;
    QTimer::singleShot(0, [&served] { served = true; });
    const std::int64_t deadline = platform::MachineClock().TickCount() + 30;
    form->DispatchMessagesUntil(deadline);
    EXPECT_TRUE(served);
    EXPECT_GT(platform::MachineClock().TickCount(), deadline);

    // A deadline already past returns at once. The event left waiting must not outlive `served`.
    served = false;
    QObject scope;
    QTimer::singleShot(0, &scope, [&served] { served = true; });
    form->DispatchMessagesUntil(platform::MachineClock().TickCount() - 1000);
    EXPECT_FALSE(served);
}

TEST_F(WindowBehaviourTest, DispatchingEndsWhenTheProgramQuitsWhateverItsExitCode) {
    CreateForm();
    QObject scope;
    QTimer::singleShot(0, &scope, [] { QCoreApplication::exit(1); });
    const std::int64_t deadline = platform::MachineClock().TickCount() + 5000;
    form->DispatchMessagesUntil(deadline);
    EXPECT_LT(platform::MachineClock().TickCount(), deadline);
    // The application now counts as quitting; a run of its own loop clears that for the next tests.
    QTimer::singleShot(0, &scope, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

TEST_F(WindowBehaviourTest, DispatchingWaitsOnTheClockTheCoreWasGiven) {
    // The driven clock stands far behind the machine's tick counter and reaches the deadline only when a
    // later event moves it on: the wait must serve events until then, not compare with another clock.
    m_clock.tick = 0;
    CreateForm(&m_clock);
    bool served = false;
    QObject scope;
    QTimer::singleShot(0, &scope, [&served] { served = true; });
    QTimer::singleShot(20, &scope, [this] { m_clock.tick = 1000; });
    form->DispatchMessagesUntil(50);
    EXPECT_TRUE(served);
    EXPECT_EQ(m_clock.tick, 1000);
}

}  // namespace
}  // namespace signposter::ui
