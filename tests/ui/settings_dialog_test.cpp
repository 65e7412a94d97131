// The settings dialog: loading the file's values, refusing bad ones beside their fields with the file
// untouched, writing good ones and applying them to the running program at once, and the checks against
// local peers off the GUI thread.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <future>

#include "core/page_builder.h"
#include "ftp/real_ftp_servers.h"
#include "ftp/scripted_ftp_server.h"
#include "ftp/test_certificates.h"
#include "support/scripted_http_server.h"
#include "window_fixture.h"

namespace signposter::ui {
namespace {

class SettingsDialogTest : public WindowFixture {
protected:
    // The window made from a file with a last address, its server fields filled in as a user types them.
    void CreateFormFor(int port, const std::string& user, const std::string& password) {
        WriteSettings("LastIP=100.63.0.7\r\n");
        CreateForm();
        Part<QLineEdit>(*form, "Edit2")->setText("127.0.0.1");
        Part<QLineEdit>(*form, "Edit1")->setText(QString::number(port));
        Part<QLineEdit>(*form, "Edit3")->setText(QString::fromStdString(user));
        Part<QLineEdit>(*form, "Edit4")->setText(QString::fromStdString(password));
    }
    SettingsDialog& OpenDialog() {
        Item("SettingsItem").trigger();
        SettingsDialog* dialog = form->OpenSettingsDialog();
        EXPECT_NE(dialog, nullptr);
        return *dialog;
    }
    template <typename T>
    T& Field(const char* name) {
        return *Part<T>(*form->OpenSettingsDialog(), name);
    }
    QString Error(const char* key) {
        QLabel& label = Field<QLabel>((std::string(key) + "Error").c_str());
        return label.isVisibleTo(form->OpenSettingsDialog()) ? label.text() : QString();
    }
    void Choose(const char* combo, const char* value) {
        QComboBox& box = Field<QComboBox>(combo);
        box.setCurrentIndex(box.findData(value));
    }
    // The program writes what OK hands over on its publishing thread; the dialog closes once it has.
    void Ok() {
        const SettingsDialog* dialog = form->OpenSettingsDialog();
        Field<QDialogButtonBox>("Buttons").button(QDialogButtonBox::Ok)->click();
        if (dialog->isVisible())
            form->WaitForCore();
    }
};

TEST_F(SettingsDialogTest, ShowsTheFileValuesAndTheMachinesInterfaces) {
    WriteSettings(
        "FtpSecurity=explicittls\r\nTlsFingerprint=ab:cd\r\nAddressSource=web\r\n"
        "AddressURL=http://127.0.0.1:9/ip\r\nAddressPollSeconds=120\r\nPublishPrivate=1\r\n"
        "VerifyURL=http://127.0.0.1:9/ipaddress.htm\r\nVerifyMatch=contains\r\nRepublishHours=24\r\n");
    CreateForm();
    SettingsDialog& dialog = OpenDialog();
    EXPECT_EQ(dialog.windowTitle(), "Signposter Settings");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(Field<QComboBox>("SecurityCombo").currentData().toString(), "ExplicitTLS");
    EXPECT_EQ(Field<QLineEdit>("FingerprintEdit").text(), "ab:cd");
    EXPECT_EQ(Field<QComboBox>("SourceCombo").currentData().toString(), "Web");
    EXPECT_EQ(Field<QLineEdit>("UrlEdit").text(), "http://127.0.0.1:9/ip");
    EXPECT_EQ(Field<QSpinBox>("PollSpin").value(), 120);
    EXPECT_TRUE(Field<QCheckBox>("PublishPrivateCheck").isChecked());
    EXPECT_EQ(Field<QLineEdit>("VerifyUrlEdit").text(), "http://127.0.0.1:9/ipaddress.htm");
    EXPECT_EQ(Field<QComboBox>("VerifyMatchCombo").currentData().toString(), "Contains");
    EXPECT_EQ(Field<QSpinBox>("RepublishSpin").value(), 24);
    // Only the chosen source's fields are in use.
    EXPECT_TRUE(Field<QLineEdit>("UrlEdit").isEnabled());
    EXPECT_FALSE(Field<QComboBox>("InterfaceCombo").isEnabled());

    QComboBox& interfaces = Field<QComboBox>("InterfaceCombo");
    QStringList listed;
    for (int i = 0; i < interfaces.count(); ++i) listed << interfaces.itemText(i);
    EXPECT_EQ(listed, (QStringList{"lo (127.0.0.1)", "eth0 (192.168.1.5)", "ppp0 (100.64.7.7)",
                                   "wlan0 (no IPv4 address, down)"}));

    // Every field says what it does.
    for (const char* name :
         {"SecurityCombo", "TrustFileEdit", "FingerprintEdit", "CheckServerButton", "SourceCombo",
          "InterfaceCombo", "UrlEdit", "PollSpin", "PublishPrivateCheck", "CheckAddressButton",
          "VerifyUrlEdit", "VerifyMatchCombo", "RepublishSpin", "CheckPageButton"})
        EXPECT_FALSE(Part<QWidget>(dialog, name)->toolTip().isEmpty()) << name;
    // A second "Settings..." brings the same dialog up.
    Item("SettingsItem").trigger();
    EXPECT_EQ(form->OpenSettingsDialog(), &dialog);
}

TEST_F(SettingsDialogTest, RefusesBadValuesBesideTheirFieldsAndLeavesFileAndProgramAlone) {
    WriteSettings("Host=127.0.0.1\r\nFtpSecurity=Implicit\r\n");
    CreateForm();
    const std::string file = SettingsFile();
    SettingsDialog& dialog = OpenDialog();
    EXPECT_EQ(Field<QComboBox>("SecurityCombo").currentText(), "Unknown: Implicit");
    Field<QLineEdit>("TrustFileEdit").setText(m_config.path() + "/missing.pem");
    Field<QLineEdit>("FingerprintEdit").setText("12:34");
    Choose("SourceCombo", "Web");
    Ok();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(Error("FtpSecurity"), "Unknown FtpSecurity value");
    EXPECT_EQ(Error("TlsTrustFile"), "TLS trust file not found");
    EXPECT_EQ(Error("TlsFingerprint"), "TLS fingerprint must be 64 hex digits");
    EXPECT_EQ(Error("AddressURL"), "No address URL");
    EXPECT_EQ(Error("AddressSource"), "");

    Choose("SecurityCombo", "None");
    Field<QLineEdit>("TrustFileEdit").clear();
    Field<QLineEdit>("FingerprintEdit").clear();
    Field<QLineEdit>("UrlEdit").setText("ftp://127.0.0.1/ip");
    Field<QLineEdit>("VerifyUrlEdit").setText("ftp://127.0.0.1/ipaddress.htm");
    Ok();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(Error("FtpSecurity"), "");
    EXPECT_EQ(Error("AddressURL"), "Address URL must start with http:// or https://");
    EXPECT_EQ(Error("VerifyURL"), "Verify URL must start with http:// or https://");

    EXPECT_EQ(SettingsFile(), file);
    EXPECT_EQ(form->State().FtpSecurity, "Implicit");
    EXPECT_EQ(form->State().AddressSource, "");
    // Cancel changes nothing either.
    Field<QDialogButtonBox>("Buttons").button(QDialogButtonBox::Cancel)->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(SettingsFile(), file);
}

TEST_F(SettingsDialogTest, OkWritesOnlyTheChangedKeysAndTheProgramUsesThemAtOnce) {
    WriteSettings("Host=127.0.0.1\r\nUser=publisher\r\nLastIP=100.63.0.7\r\n");
    CreateForm();
    const std::string oldFile = SettingsFile();
    SettingsDialog& first = OpenDialog();
    Ok();
    EXPECT_FALSE(first.isVisible());
    EXPECT_EQ(SettingsFile(), oldFile) << "an untouched dialog adds no key";

    OpenDialog();
    Choose("SecurityCombo", "ExplicitTLS");
    Choose("SourceCombo", "Interface");
    Field<QComboBox>("InterfaceCombo").setCurrentIndex(2);  // "ppp0 (100.64.7.7)"
    Field<QSpinBox>("PollSpin").setValue(600);
    Ok();
    const std::string file = SettingsFile();
    EXPECT_EQ(file, oldFile +
                        "FtpSecurity=ExplicitTLS\r\nAddressSource=Interface\r\nAddressInterface=ppp0\r\n"
                        "AddressPollSeconds=600\r\n");
    EXPECT_EQ(form->State().FtpSecurity, "ExplicitTLS");
    EXPECT_EQ(form->State().AddressInterface, "ppp0");

    // The next tick asks the new source, without a restart.
    form->Timer1Timer();
    EXPECT_EQ(form->State().CurrentIP, "100.64.7.7");
    EXPECT_TRUE(tip.endsWith(": carrier-grade NAT")) << tip.toStdString();
}

TEST_F(SettingsDialogTest, CheckServerTrustAndUpdateNowPublishOverTlsWithoutARestart) {
    testing::TempDir dir;
    const testing::TestCertificate cert = testing::MakeCertificate(dir.Path(), "server");
    testing::ScriptedFtpServer server;
    server.EnableTls(cert.certFile, cert.keyFile);
    CreateFormFor(server.Port(), "publisher", "secret");

    OpenDialog();
    Choose("SecurityCombo", "ExplicitTLS");
    QPushButton& check = Field<QPushButton>("CheckServerButton");
    check.click();
    EXPECT_EQ(check.text(), "Cancel");
    EXPECT_TRUE(QTest::qWaitFor([&] { return check.text() == "Check server"; }, 10000));
    const QString result = Field<QLabel>("ServerResult").text();
    EXPECT_TRUE(result.contains("SHA-256 fingerprint: " + QString::fromStdString(cert.fingerprint)))
        << result.toStdString();
    EXPECT_TRUE(result.contains("Subject: CN=127.0.0.1")) << result.toStdString();
    EXPECT_TRUE(result.contains("System store: ")) << result.toStdString();
    ASSERT_TRUE(server.WaitUntilIdle());
    EXPECT_EQ(server.Commands(), std::vector<std::string>{"AUTH TLS"}) << "the user name is never sent";

    // Nothing is trusted until the user says so.
    EXPECT_TRUE(Field<QLineEdit>("FingerprintEdit").text().isEmpty());
    Field<QPushButton>("TrustButton").click();
    EXPECT_EQ(Field<QLineEdit>("FingerprintEdit").text().toStdString(), cert.fingerprint);

    // The web server serves the page a publication uploads now; Check page fetches and compares it.
    ProgramState built = form->State();
    SetLocalPageFile(form->ShownFields(), built);
    const std::string page =
        BuildAddressPage(form->ShownFields(), built, form->Messages(), "100.63.0.7").value();
    testing::ScriptedHttpServer http;
    http.Script("/ipaddress.htm",
                {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page});
    Field<QLineEdit>("VerifyUrlEdit").setText(QString::fromStdString(http.Url("/ipaddress.htm")));
    QPushButton& checkPage = Field<QPushButton>("CheckPageButton");
    checkPage.click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return checkPage.text() == "Check page"; }, 10000));
    EXPECT_EQ(Field<QLabel>("PageResult").text(), "match");
    Field<QLineEdit>("VerifyUrlEdit").setText(QString::fromStdString(http.Url("/elsewhere.htm")));
    checkPage.click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return checkPage.text() == "Check page"; }, 10000));
    EXPECT_TRUE(Field<QLabel>("PageResult").text().startsWith("verification failed: "))
        << Field<QLabel>("PageResult").text().toStdString();
    Field<QLineEdit>("VerifyUrlEdit").setText(QString::fromStdString(http.Url("/ipaddress.htm")));

    Ok();
    EXPECT_NE(SettingsFile().find("TlsFingerprint=" + cert.fingerprint + "\r\n"), std::string::npos);

    Item("UpdateNowItem").trigger();
    const std::vector<std::string> commands = server.Commands();
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(commands.begin() + 1, commands.begin() + 6),
              (std::vector<std::string>{"AUTH TLS", "user publisher", "pass secret", "PBSZ 0", "PROT P"}));
    EXPECT_EQ(server.Uploads(), std::vector<std::string>{page});
    EXPECT_TRUE(tip.startsWith("Signposter: 100.63.0.7 published and verified ")) << tip.toStdString();
}

// The same as a new user would do it, against vsftpd requiring TLS (and session reuse on data connections).
TEST_F(SettingsDialogTest, NewUserTrustsVsftpdsCertificateAndPublishes) {
    testing::TempDir dir;
    const testing::TestCertificate cert = testing::MakeCertificate(dir.Path(), "vsftpd");
    std::string why;
    const auto server = testing::StartVsftpdTls(&why, {cert.certFile, cert.keyFile});
    if (!server)
        GTEST_SKIP() << why;
    CreateFormFor(server->Port(), server->User(), server->Password());

    OpenDialog();
    Choose("SecurityCombo", "ExplicitTLS");
    QPushButton& check = Field<QPushButton>("CheckServerButton");
    check.click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return check.text() == "Check server"; }, 10000));
    EXPECT_TRUE(Field<QLabel>("ServerResult").text().contains("System store: self-signed certificate"))
        << Field<QLabel>("ServerResult").text().toStdString();
    Field<QPushButton>("TrustButton").click();
    Ok();
    Item("UpdateNowItem").trigger();
    EXPECT_TRUE(server->HasFile("ipaddress.htm"));
    EXPECT_TRUE(tip.startsWith("Signposter: 100.63.0.7 published ")) << tip.toStdString();
    EXPECT_NE(SettingsFile().find("FtpSecurity=ExplicitTLS\r\nTlsFingerprint=" + cert.fingerprint + "\r\n"),
              std::string::npos);
}

// A new user of an SFTP-only host: the dialog shows the host key, the user trusts it, and publishes.
TEST_F(SettingsDialogTest, NewUserTrustsTheSshHostKeyAndPublishesOverSftp) {
    std::string why;
    const auto server = testing::StartSshd(&why);
    if (!server)
        GTEST_SKIP() << why;
    CreateFormFor(server->Port(), server->User(), server->Password());

    OpenDialog();
    QComboBox& protocol = Field<QComboBox>("ProtocolCombo");
    protocol.setCurrentIndex(protocol.findData("SFTP"));
    QPushButton& check = Field<QPushButton>("CheckServerButton");
    check.click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return check.text() == "Check server"; }, 10000));
    const QString result = Field<QLabel>("ServerResult").text();
    EXPECT_TRUE(result.contains("Fingerprint: " + QString::fromStdString(server->hostKeyFingerprint)))
        << result.toStdString();
    EXPECT_TRUE(Field<QLineEdit>("SshHostKeyEdit").text().isEmpty());
    Field<QPushButton>("TrustButton").click();
    EXPECT_EQ(Field<QLineEdit>("SshHostKeyEdit").text().toStdString(), server->hostKeyFingerprint);
    Ok();
    Item("UpdateNowItem").trigger();
    EXPECT_TRUE(server->HasFile("ipaddress.htm"));
    EXPECT_TRUE(tip.startsWith("Signposter: 100.63.0.7 published ")) << tip.toStdString();
}

TEST_F(SettingsDialogTest, CheckAddressRunsOffTheGuiThreadAndCancelsAtOnce) {
    testing::ScriptedHttpServer http;
    http.Script("/cgnat", {"HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n100.64.12.34\n"});
    http.Script("/silent", {"", false, true});
    CreateForm();
    const std::string file = SettingsFile();
    SettingsDialog& dialog = OpenDialog();
    Choose("SourceCombo", "Web");
    Field<QLineEdit>("UrlEdit").setText(QString::fromStdString(http.Url("/cgnat")));
    QPushButton& check = Field<QPushButton>("CheckAddressButton");
    QLabel& result = Field<QLabel>("AddressResult");
    check.click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return check.text() == "Check address"; }, 10000));
    EXPECT_EQ(result.text(), "100.64.12.34: carrier-grade NAT, visitors cannot reach it");

    Choose("SourceCombo", "Interface");
    Field<QComboBox>("InterfaceCombo").setEditText("eth0");
    check.click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return check.text() == "Check address"; }, 10000));
    EXPECT_EQ(result.text(), "192.168.1.5: private, visitors cannot reach it");

    // A silent web page: the window keeps answering, with a busy cursor, and Cancel ends the wait at once.
    Choose("SourceCombo", "Web");
    Field<QLineEdit>("UrlEdit").setText(QString::fromStdString(http.Url("/silent")));
    check.click();
    bool answered = false;
    QTimer::singleShot(100, [&] { answered = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered; }, 1000));
    EXPECT_EQ(check.text(), "Cancel");
    EXPECT_EQ(dialog.cursor().shape(), Qt::BusyCursor);
    QElapsedTimer elapsed;
    elapsed.start();
    check.click();
    EXPECT_EQ(result.text(), "Cancelled.");
    EXPECT_NE(dialog.cursor().shape(), Qt::BusyCursor);
    dialog.reject();
    delete &dialog;  // joins the cancelled check
    EXPECT_LT(elapsed.elapsed(), 1000);
    EXPECT_EQ(SettingsFile(), file);
}

// A name look-up in the system's resolver does not notice the stop: neither closing the dialog nor the
// program's end may wait for it, and its late result must reach nobody.
TEST(BackgroundCheckTest, GoingAwayNeverWaitsForWorkThatIgnoresTheStop) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    auto* check = new BackgroundCheck;
    bool finished = false;
    QObject::connect(check, &BackgroundCheck::Finished, [&finished] { finished = true; });
    check->Start([released, ended](const platform::Clock&, const platform::StopRequest&) {
        released.wait();
        *ended = true;
        return CheckResult{true, "late", {}};
    });
    QElapsedTimer elapsed;
    elapsed.start();
    delete check;
    EXPECT_LT(elapsed.elapsed(), 500);
    release.set_value();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended->load(); }, 5000));
    QTest::qWait(50);  // anything the thread posted would run now
    EXPECT_FALSE(finished);
}

}  // namespace
}  // namespace signposter::ui
