#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "core/extended_settings.h"
#include "core/ini_store.h"
#include "core/settings.h"
#include "platform/exceptions.h"
#include "support/fake_live_settings.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using testing::FakeLiveSettings;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class SettingsTest : public ::testing::Test {
protected:
    std::string Path() const { return m_dir.File("signposter.ini"); }
    void Load() { LoadSettings(m_fields, m_state, Path()); }
    void Save() { SaveSettings(m_fields, m_state, Path()); }

    TempDir m_dir;
    FakeLiveSettings m_fields;
    ProgramState m_state;
};

TEST_F(SettingsTest, FirstStartTakesDefaultsAndTheFirstSaveWritesEveryKeyInOrder) {
    m_fields.SetText(TextField::Host, "old");
    m_fields.SetChecked(Switch::InternalNoRedirect, true);
    Load();
    EXPECT_EQ(m_fields.Text(TextField::Host), "");
    EXPECT_EQ(m_fields.Text(TextField::Port), "21");
    EXPECT_EQ(m_fields.Text(TextField::PageName), "ipaddress.htm");
    EXPECT_EQ(m_fields.Text(TextField::RemotePath), "/");
    EXPECT_TRUE(m_fields.Checked(Switch::Passive));
    EXPECT_TRUE(m_fields.Checked(Switch::InternalRedirect));
    EXPECT_FALSE(m_fields.Checked(Switch::InternalNoRedirect));
    EXPECT_EQ(m_state.IgnoreList, "");
    EXPECT_FALSE(std::filesystem::exists(Path()));

    m_fields.SetText(TextField::Host, "ftp.example.org");
    m_fields.SetText(TextField::User, "bob");
    m_state.CurrentIP = "203.0.113.7";
    Save();
    EXPECT_EQ(m_state.IgnoreList, kDefaultIgnoreList);
    EXPECT_EQ(
        ReadFile(Path()),
        "\r\n[Settings]\r\nHost=ftp.example.org\r\nPort=21\r\nPassive=1\r\nInternalYes=1\r\nInternalNo=0\r\n"
        "UserTemplate=0\r\nUser=bob\r\nPassword=\r\nHTML=ipaddress.htm\r\nRemotePath=/\r\nTemplate=\r\n"
        "IgnoreIP=127.0.0.1,192.168.0.1,\r\nLastIP=203.0.113.7\r\n");
    struct stat st {};
    ::stat(Path().c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds the password
}

TEST_F(SettingsTest, LaterSavesKeepAHandEditedIgnoreList) {
    Save();
    WriteFile(Path(), "[Settings]\r\nIgnoreIP=10.0.0.1\r\n");
    Load();
    EXPECT_EQ(m_state.IgnoreList, "10.0.0.1");
    m_state.IgnoreList = "changed in memory";
    Save();
    Load();
    EXPECT_EQ(m_state.IgnoreList, "10.0.0.1");
}

TEST_F(SettingsTest, SwitchesLoadOnOnlyForOneAndTemplateQuotesAreStripped) {
    WriteFile(Path(),
              "[Settings]\nPassive=2\nInternalYes=0\nInternalNo=1\nUserTemplate=1\nTemplate=\"/t.htm\"\n");
    Load();
    EXPECT_FALSE(m_fields.Checked(Switch::Passive));
    EXPECT_FALSE(m_fields.Checked(Switch::InternalRedirect));
    EXPECT_TRUE(m_fields.Checked(Switch::InternalNoRedirect));
    EXPECT_TRUE(m_fields.Checked(Switch::UserTemplate));
    EXPECT_EQ(m_fields.Text(TextField::TemplateFile), "\"/t.htm\"");
    // Loading ended with a close, which rewrote the LF-only file with CR LF.
    EXPECT_EQ(ReadFile(Path()),
              "[Settings]\r\nPassive=2\r\nInternalYes=0\r\nInternalNo=1\r\nUserTemplate=1\r\nTemplate=\"/"
              "t.htm\"\r\n");
    Save();
    EXPECT_EQ(m_state.TemplateFile, "/t.htm");
    EXPECT_NE(ReadFile(Path()).find("Template=/t.htm\r\n"), std::string::npos);
}

TEST_F(SettingsTest, ScramblingMatchesTheStoredFormAndIsItsOwnInverse) {
    // 's' (115) with key byte '(' (40): 255 - 115 + 10 = 150.
    EXPECT_EQ(static_cast<unsigned char>(ScramblePassword("s")[0]), 150);
    const std::string printable = " !azAZ09~}|{`_^]\\[@?>=<;:/.-,+*)('&%$#\"";
    const std::string scrambled = ScramblePassword(printable + printable);
    for (unsigned char c : scrambled) EXPECT_GE(c, 128);
    EXPECT_EQ(EncodeStoredPassword(printable), ScramblePassword(printable));  // the plain stored form
    EXPECT_EQ(UnscramblePassword(ScramblePassword("secret")), "secret");
    EXPECT_EQ(ScramblePassword(""), "");
}

TEST_F(SettingsTest, EveryPasswordComesBackExactlyThroughTheFile) {
    std::mt19937 random(7);
    std::vector<std::string> passwords = {"", "secret", "trailing ", " leading", "HEX:41"};
    for (int value = 0; value < 256; ++value) {
        passwords.push_back(std::string(1, static_cast<char>(value)));
        passwords.push_back("ab" + std::string(3, static_cast<char>(value)) + "cd");
    }
    for (int i = 0; i < 50; ++i) {
        std::string p(random() % 60, '\0');
        for (char& c : p) c = static_cast<char>(random());
        passwords.push_back(p);
    }
    // A password whose scrambled form is a line break, NUL, space or "[" at any key position.
    for (std::size_t pos = 0; pos < 38; ++pos) {
        for (unsigned char want : {'\r', '\n', '\0', ' ', '['}) {
            std::string p(pos + 1, 'a');
            const std::string key = "(K) Quillstone AMBER_TOWPATH 1964,1977";
            p[pos] = static_cast<char>((255 - want + (static_cast<unsigned char>(key[pos]) >> 2)) & 0xFF);
            passwords.push_back(p);
        }
    }
    for (const std::string& password : passwords) {
        m_fields.SetText(TextField::Password, password);
        Save();
        m_fields.SetText(TextField::Password, "overwritten");
        Load();
        ASSERT_EQ(m_fields.Text(TextField::Password), password);
        const std::string file = ReadFile(Path());
        for (const char* key : {"\nHTML=", "\nRemotePath=", "\nTemplate=", "\nLastIP="}) {
            ASSERT_EQ(file.find(key), file.rfind(key)) << "duplicated " << key + 1;
        }
        EXPECT_EQ(m_fields.Text(TextField::Host), "");  // nothing spilled into other keys
        EXPECT_EQ(m_fields.Text(TextField::PageName), "ipaddress.htm");
    }
}

TEST_F(SettingsTest, UnwritableFileRaisesCannotCreateAndKeepsTheOldContent) {
    Save();
    const std::string before = ReadFile(Path());
    ::chmod(Path().c_str(), 0400);
    m_fields.SetText(TextField::Host, "new");
    try {
        Save();
        FAIL();
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.Message(), "Cannot create file " + Path());
    }
    EXPECT_EQ(ReadFile(Path()), before);
}

}  // namespace
}  // namespace signposter

namespace signposter {
namespace {

// The FTPS keys are read after LastIP and never written: a file without them is rewritten exactly as
// before, and a file with them keeps them as the user typed them.
TEST_F(SettingsTest, FtpsKeysAreLoadedButNeverSaved) {
    const std::string without =
        "\r\n[Settings]\r\nHost=ftp.example.org\r\nPort=21\r\nPassive=1\r\nInternalYes=1\r\nInternalNo=0\r\n"
        "UserTemplate=0\r\nUser=bob\r\nPassword=\r\nHTML=ipaddress.htm\r\nRemotePath=/\r\nTemplate=\r\n"
        "IgnoreIP=127.0.0.1,\r\nLastIP=203.0.113.7\r\n";
    WriteFile(Path(), without);
    Load();
    Save();
    EXPECT_EQ(ReadFile(Path()), without);
    EXPECT_EQ(m_state.FtpSecurity + m_state.TlsTrustFile + m_state.TlsFingerprint, "");

    const std::string with = without +
                             "FtpSecurity=explicittls\r\nTlsTrustFile=/etc/host-ca.pem\r\n"
                             "TlsFingerprint=ab:CD:ef\r\n";
    WriteFile(Path(), with);
    Load();
    EXPECT_EQ(m_state.FtpSecurity, "explicittls");
    EXPECT_EQ(m_state.TlsTrustFile, "/etc/host-ca.pem");
    EXPECT_EQ(m_state.TlsFingerprint, "ab:CD:ef");
    m_state.FtpSecurity = "None";
    Save();
    EXPECT_EQ(ReadFile(Path()), with);
}

// One settings file, several programs: the monitor running, `set` run beside it, the window's dialog.
TEST_F(SettingsTest, AnotherProgramsChangeIsTakenUpAndNeverWrittenBackOlder) {
    m_fields.SetText(TextField::Host, "ftp.example.org");
    m_fields.SetText(TextField::User, "bob");
    Save();
    Load();
    EXPECT_FALSE(MergeFileChanges(m_fields, m_state, Path()));

    FakeLiveSettings other;
    ProgramState otherState;
    auto set = [&](TextField field, const std::string& value) {
        LoadSettings(other, otherState, Path());
        other.SetText(field, value);
        SaveSettings(other, otherState, Path());
    };
    set(TextField::Host, "ftp.example.net");
    set(TextField::RemotePath, "/theirs");
    m_fields.SetText(TextField::RemotePath, "/mine");  // changed here meanwhile: this program's wins
    EXPECT_TRUE(MergeFileChanges(m_fields, m_state, Path()));
    EXPECT_EQ(m_fields.Text(TextField::Host), "ftp.example.net");
    EXPECT_EQ(m_fields.Text(TextField::RemotePath), "/mine");
    EXPECT_FALSE(MergeFileChanges(m_fields, m_state, Path()));

    // A change with no tick after it, then the closing save.
    set(TextField::User, "carol");
    m_state.CurrentIP = "203.0.113.9";
    Save();
    LoadSettings(other, otherState, Path());
    EXPECT_EQ(other.Text(TextField::Host), "ftp.example.net");
    EXPECT_EQ(other.Text(TextField::User), "carol");
    EXPECT_EQ(other.Text(TextField::RemotePath), "/mine");
    EXPECT_EQ(otherState.CurrentIP, "203.0.113.9");
}

TEST_F(SettingsTest, ConcurrentChangesFromProcessesAndThreadsAreNeverLost) {
    Save();
    // Three programs, each setting its own key over and over, as `set` does: load, change, save.
    constexpr int kRounds = 40;
    const TextField keys[] = {TextField::Host, TextField::User, TextField::RemotePath};
    std::vector<pid_t> children;
    for (TextField key : keys) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FakeLiveSettings fields;
            ProgramState state;
            for (int round = 0; round < kRounds; ++round) {
                LoadSettings(fields, state, Path());
                fields.SetText(key, std::to_string(round));
                SaveSettings(fields, state, Path());
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    // Meanwhile two threads of this process count in the same file through the store.
    auto count = [&] {
        for (int round = 0; round < kRounds; ++round) {
            IniOpen(Path());
            IniWriteInteger(kSettingsSection, "Count", IniReadInteger(kSettingsSection, "Count", 0) + 1);
            IniClose();
        }
    };
    std::thread first(count), second(count);
    first.join();
    second.join();
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Load();
    for (TextField key : keys) EXPECT_EQ(m_fields.Text(key), std::to_string(kRounds - 1));
    IniOpen(Path());
    EXPECT_EQ(IniReadInteger(kSettingsSection, "Count", 0), 2 * kRounds);
    IniClose();
}

}  // namespace
}  // namespace signposter

namespace signposter {
namespace {

// `set` and the dialog check a value with ValueProblem, the monitor the loaded state with
// ExtendedSettingsProblems: for every key, what one accepts the other must accept too, and with the same
// words when refused.
TEST_F(SettingsTest, EveryKeyIsJudgedAlikeBeforeItIsWrittenAndAfterItIsLoaded) {
    const std::string ca = m_dir.File("ca.pem");
    WriteFile(ca, "");
    const struct {
        const char* key;
        std::string value;
        const char* problem;  // empty: accepted
    } cases[] = {
        {"AddressURL", "https://127.0.0.1:8443/ip", ""},
        {"AddressURL", "HTTP://[::1]:80/ip", ""},
        {"AddressURL", "ftp://127.0.0.1/ip", "Address URL must start with http:// or https://"},
        {"AddressURL", "http://127.0.0.1:99999/ip", "Port must be a number from 1 to 65535"},
        {"AddressURL", "http://u:p@h:0/", "Port must be a number from 1 to 65535"},
        {"VerifyURL", "https://h:65536/x", "Port must be a number from 1 to 65535"},
        {"VerifyURL", "https://h:65535/x?a=b:c", ""},
        {"AddressPollSeconds", "29", "Address poll seconds must be 30 to 86400"},
        {"AddressPollSeconds", "86400", ""},
        {"RepublishHours", "abc", "Republish hours must be 0 to 8760"},
        {"FtpSecurity", "explicittls", ""},
        {"FtpSecurity", "SSL", "Unknown FtpSecurity value"},
        {"TlsTrustFile", ca, ""},
        {"TlsTrustFile", ca + ".missing", "TLS trust file not found"},
        {"TlsTrustFile", "/dev/null", "TLS trust file: not a regular file"},
        {"VerifyMatch", "contains", ""},
    };
    for (const auto& c : cases) {
        const SettingKey* key = FindSettingKey(c.key);
        ASSERT_NE(key, nullptr) << c.key;
        EXPECT_EQ(ValueProblem(*key, c.value).value_or(""), c.problem) << c.key << "=" << c.value;
        // The case's line first: the first of two equal keys wins.
        WriteFile(Path(), "[Settings]\r\n" + std::string(c.key) + "=" + c.value +
                              "\r\nAddressSource=Web\r\nAddressURL=http://h/\r\n");
        m_state = {};
        Load();
        const auto problems = ExtendedSettingsProblems(m_state);
        EXPECT_EQ(problems.empty() ? std::string() : problems.front().key + ": " + problems.front().message,
                  *c.problem ? std::string(c.key) + ": " + c.problem : std::string())
            << c.key << "=" << c.value;
    }
    EXPECT_EQ(PortProblem("0").value_or(""), kPortMessage);
    EXPECT_EQ(PortProblem("$FFFFFFFF").value_or(""), kPortMessage);  // -1, which would wrap to 65535
    EXPECT_FALSE(PortProblem("65535") || PortProblem("") ||
                 PortProblem("abc"));  // "abc": the connection's message
}

// The dialog and `set` write through these: only changed user keys, in one save, and the program's values
// take them as LoadSettings would have read them.
TEST_F(SettingsTest, ChangedKeysWrittenInOneSaveAreTakenUpAsLoadingWouldRead) {
    Save();
    Load();
    ProgramState after = m_state;
    after.AddressPollSeconds = 600;
    after.PublishPrivate = true;
    after.LastPublished = 5;  // the program's own record: never written from here
    const KeyValues changed = ChangedKeys(m_state, after);
    EXPECT_EQ(changed, (KeyValues{{"AddressPollSeconds", "600"}, {"PublishPrivate", "1"}}));
    const std::string before = ReadFile(Path());
    WriteSettingKeys(Path(), changed);
    EXPECT_EQ(ReadFile(Path()), before + "AddressPollSeconds=600\r\nPublishPrivate=1\r\n");
    ProgramState running;
    ApplySettingKeys(running, changed);
    Load();
    EXPECT_EQ(running.AddressPollSeconds, m_state.AddressPollSeconds);
    EXPECT_EQ(running.PublishPrivate, m_state.PublishPrivate);
}

}  // namespace
}  // namespace signposter
