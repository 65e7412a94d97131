#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/password_store.h"
#include "support/fake_clock.h"
#include "support/private_keyring.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using testing::FakeClock;
using testing::PrivateKeyring;
using testing::ScopedEnvironment;
using testing::TempDir;
using testing::WriteFile;

const PasswordKey kKey{"127.0.0.1", "2121", "publisher", "FTP"};

TEST(PasswordStoreTest, TheValuesItTakes) {
    EXPECT_EQ(ParsePasswordStore("")->kind, PasswordStoreKind::File);
    EXPECT_EQ(ParsePasswordStore(" File ")->kind, PasswordStoreKind::File);
    EXPECT_EQ(ParsePasswordStore("keyring")->kind, PasswordStoreKind::Keyring);
    EXPECT_EQ(ParsePasswordStore("command:pass show web/ftp")->command, "pass show web/ftp");
    EXPECT_FALSE(ParsePasswordStore("wallet"));
    EXPECT_EQ(PasswordStoreProblem("wallet"), "PasswordStore takes file, keyring or command: and a command");
    EXPECT_EQ(PasswordStoreProblem("command:  "), "PasswordStore command: no command after command:");
    EXPECT_EQ(PasswordStoreProblem("command:sh -c 'x"),
              "PasswordStore command: a single quote is not closed");
    FakeClock clock;
    EXPECT_EQ(ReadPassword(clock, *ParsePasswordStore("file"), kKey, "from file").password, "from file");
}

class PasswordCommandTest : public ::testing::Test {
protected:
    PasswordAnswer Read(const std::string& script) {
        WriteFile(m_dir.File("script"), script);
        ::chmod(m_dir.File("script").c_str(), 0700);
        return ReadPassword(m_clock, *ParsePasswordStore("command:" + m_dir.File("script") + " 'an arg'"),
                            kKey, "from file");
    }
    TempDir m_dir;
    FakeClock m_clock;
};

TEST_F(PasswordCommandTest, TheFirstLineOfItsOutputIsThePassword) {
    const PasswordAnswer answer = Read("#!/bin/sh\necho \"s3 cret|$1\"; echo second line; echo noise >&2\n");
    EXPECT_EQ(answer.password, "s3 cret|an arg");
    EXPECT_EQ(answer.problem, "");
}

TEST_F(PasswordCommandTest, AFailingOrSilentCommandSaysWhyAndGivesNoPassword) {
    const std::string script = m_dir.File("script");
    PasswordAnswer answer = Read("#!/bin/sh\necho 'the vault is locked' >&2\nexit 1\n");
    EXPECT_FALSE(answer.password);
    EXPECT_EQ(answer.problem, "The password command " + script +
                                  " exited with status 1: the vault is locked (PasswordStore=command:)");
    answer = Read("#!/bin/sh\nexit 0\n");
    EXPECT_FALSE(answer.password);
    EXPECT_EQ(answer.problem,
              "The password command " + script + " printed no password (PasswordStore=command:)");
    // Silent for ever: its 10 s pass on the driven clock.
    const std::int64_t tick = m_clock.tick;
    answer = Read("#!/bin/sh\nexec sleep 60\n");
    EXPECT_FALSE(answer.password);
    EXPECT_EQ(answer.problem,
              "The password command " + script + " was ended after 10 s (PasswordStore=command:)");
    EXPECT_EQ(m_clock.tick - tick, kPasswordCommandTimeLimitMs);
    EXPECT_EQ(StorePassword(m_clock, *ParsePasswordStore("command:x"), kKey, "p"),
              "The password command only reads the password: store it where the command finds it "
              "(PasswordStore=command:)");
}

// The store asks libsecret on a std::thread of its own (its calls wait without our clock): the
// ThreadSanitizer build runs these too.
TEST(KeyringTest, StoresAndReadsBackAndALockedOrAbsentKeyringSaysSo) {
    TempDir dir;
    const platform::SystemClock clock;  // the keyring answers in its own time, over D-Bus
    const PasswordStoreChoice keyring = *ParsePasswordStore("keyring");
    {
        // No session bus at all, as on a headless server: asked first, before this process has one.
        const ScopedEnvironment noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
        const ScopedEnvironment noRuntime("XDG_RUNTIME_DIR", dir.Path().c_str());
        const ScopedEnvironment noDisplay("DISPLAY", nullptr);
        EXPECT_EQ(ReadPassword(clock, keyring, kKey, "from file").problem, kKeyringUnavailable);
        EXPECT_EQ(MovePasswordToKeyring(clock, kKey, "from file"), kKeyringUnavailable);
    }
    const ScopedEnvironment keepRuntime("XDG_RUNTIME_DIR", nullptr), keepData("XDG_DATA_HOME", nullptr),
        keepHome("HOME", std::getenv("HOME")), keepBus("DBUS_SESSION_BUS_ADDRESS", nullptr),
        keepDisplay("DISPLAY", std::getenv("DISPLAY")),
        keepWayland("WAYLAND_DISPLAY", std::getenv("WAYLAND_DISPLAY"));
    PrivateKeyring service(dir);
    if (!service.Ready())
        GTEST_SKIP() << "no private session bus with GNOME Keyring (dbus-daemon, gnome-keyring-daemon)";

    EXPECT_EQ(ReadPassword(clock, keyring, kKey, "from file").problem,
              "The keyring holds no password for publisher@127.0.0.1:2121 (PasswordStore=keyring)");
    EXPECT_EQ(MovePasswordToKeyring(clock, kKey, "pa55 w\xc3\xb6rd"), std::nullopt);
    EXPECT_EQ(ReadPassword(clock, keyring, kKey, "").password, "pa55 w\xc3\xb6rd");
    EXPECT_EQ(StorePassword(clock, keyring, kKey, "changed"), std::nullopt);
    EXPECT_EQ(ReadPassword(clock, keyring, kKey, "").password, "changed");
    PasswordKey sftp = kKey;
    sftp.protocol = "SFTP";
    EXPECT_FALSE(ReadPassword(clock, keyring, sftp, "").password);

    ASSERT_TRUE(service.Lock());
    const PasswordAnswer locked = ReadPassword(clock, keyring, kKey, "from file");
    EXPECT_FALSE(locked.password);
    EXPECT_EQ(locked.problem, kKeyringUnavailable);
    EXPECT_EQ(MovePasswordToKeyring(clock, kKey, "other"), kKeyringUnavailable);
}

}  // namespace
}  // namespace signposter
