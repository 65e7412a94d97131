#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace signposter::testing {

// What `body` returns, run in a child process; it is given the descriptor its text goes to (to send the
// child's standard error there too). Nothing when the child ends with status 77: what it needed (a
// namespace, a mount) is not allowed on this machine.
inline std::optional<std::string> InChildProcess(const std::function<std::string(int report)>& body) {
    int report[2];
    if (::pipe(report) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        const std::string text = body(report[1]);
        [[maybe_unused]] const ssize_t written = ::write(report[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(report[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        return std::nullopt;
    return text;
}

// What `body` returns, run in a child process with a network and mount namespace of its own: a loopback
// interface only, `hosts` as /etc/hosts and a resolv.conf naming a name server on 127.0.0.1 (which the body
// may or may not provide), followed by `resolverOptions`. Nothing when the namespaces cannot be had.
inline std::optional<std::string> InPrivateNetwork(const std::string& hosts,
                                                   const std::string& resolverOptions,
                                                   const std::function<std::string()>& body) {
    return InChildProcess([&](int) {
        std::string outcome;
        {
            TempDir dir;
            WriteFile(dir.File("resolv.conf"), "nameserver 127.0.0.1\n" + resolverOptions);
            WriteFile(dir.File("hosts"), hosts);
            if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(dir.File("resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) !=
                    0 ||
                ::mount(dir.File("hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
                ::_exit(77);
            // The new network's loopback interface starts down.
            ifreq loopback{};
            std::strcpy(loopback.ifr_name, "lo");
            loopback.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
            const int control = ::socket(AF_INET, SOCK_DGRAM, 0);
            if (::ioctl(control, SIOCSIFFLAGS, &loopback) != 0)
                ::_exit(77);
            ::close(control);
            outcome = body();
        }
        return outcome;
    });
}

}  // namespace signposter::testing
