#pragma once

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support/temp_dir.h"

namespace signposter::testing {

// A Secret Service of its own: a private session bus and GNOME Keyring on it, unlocked with a test
// password, its keyrings in the test's directory. Nothing reaches the user's own keyring.
class PrivateKeyring {
public:
    explicit PrivateKeyring(const TempDir& dir) {
        std::filesystem::create_directories(dir.File("run"));
        std::filesystem::permissions(dir.File("run"), std::filesystem::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", dir.File("run").c_str(), 1);
        ::setenv("XDG_DATA_HOME", dir.File("data").c_str(), 1);
        ::setenv("HOME", dir.Path().c_str(), 1);
        // No display: the keyring's unlock prompt cannot be shown, as on a headless machine.
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        FILE* bus = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (!bus)
            return;
        char address[512] = {};
        char pid[32] = {};
        if (std::fgets(address, sizeof address, bus) && std::fgets(pid, sizeof pid, bus)) {
            address[std::strcspn(address, "\n")] = 0;
            m_busPid = std::atoi(pid);
            ::setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
        }
        ::pclose(bus);
        FILE* keyring = ::popen("gnome-keyring-daemon --unlock --components=secrets >/dev/null", "w");
        if (!keyring)
            return;
        std::fputs("test password", keyring);
        m_ready = ::pclose(keyring) == 0 && m_busPid > 0;
    }
    ~PrivateKeyring() {
        // The keyring daemon leaves when its bus goes.
        if (m_busPid > 0)
            ::kill(m_busPid, SIGTERM);
    }
    bool Ready() const { return m_ready; }
    // Locks the default collection, as a desktop does when the session is locked.
    bool Lock() const {
        return std::system(
                   "/usr/bin/python3 -c \"import dbus; dbus.Interface(dbus.SessionBus().get_object("
                   "'org.freedesktop.secrets', '/org/freedesktop/secrets'), "
                   "'org.freedesktop.Secret.Service').Lock(['/org/freedesktop/secrets/aliases/"
                   "default'])\"") == 0;
    }

private:
    pid_t m_busPid = -1;
    bool m_ready = false;
};

}  // namespace signposter::testing
