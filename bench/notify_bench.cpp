// How soon a failed publication reaches the desktop: the tray program's window (Qt's offscreen platform)
// against a host that turns every connection away, with the tests' notification service on a private
// session bus. Each round fails five attempts, then publishes again on a working host.
//   notify_bench [ROUNDS [real]]
// The pauses between attempts pass at once on a driven clock; with "real" they take their three seconds.
// For every failure: the time from the host closing the last attempt's connection to the window's D-Bus
// call, and to the service receiving it (both on the machine's monotonic clock). Goal: under 100 ms.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ftp/scripted_ftp_server.h"
#include "support/fake_clock.h"
#include "ui/main_window.h"
#include "ui/notifier.h"
#include "ui/window_doubles.h"

namespace {

using namespace signposter;
using namespace signposter::ui;

std::int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A host on 127.0.0.1 that answers every connection "try later" and closes it, noting when.
class RefusingHost {
public:
    RefusingHost() : m_socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_socket, 8);
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            for (int connection; (connection = ::accept(m_socket, nullptr, nullptr)) >= 0;) {
                static constexpr char kReply[] = "421 Too many users, try later.\r\n";
                [[maybe_unused]] const ssize_t sent =
                    ::send(connection, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
                ::close(connection);
                m_lastClose.store(MonotonicNs());
            }
        });
    }
    ~RefusingHost() {
        ::shutdown(m_socket, SHUT_RDWR);
        m_thread.join();
        ::close(m_socket);
    }
    int Port() const { return m_port; }
    std::int64_t LastClose() const { return m_lastClose.load(); }

private:
    int m_socket;
    int m_port = 0;
    std::atomic<std::int64_t> m_lastClose{0};
    std::thread m_thread;
};

// The tray entry, noting when the tooltip last told an outcome rather than an attempt: the moment the
// window had the outcome, before it told the desktop.
class TimedTray final : public TrayShell {
public:
    void Add(const TrayEntry& entry) override { Modify(entry); }
    void Modify(const TrayEntry& entry) override {
        if (entry.tip != m_tip && !entry.tip.startsWith("Signposter: publishing"))
            outcomeShown = MonotonicNs();
        m_tip = entry.tip;
    }
    void Delete() override {}
    std::int64_t outcomeShown = 0;

private:
    QString m_tip;
};

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    double total = 0;
    for (const double value : ms) total += value;
    std::printf("%-42s median %.2f ms, mean %.2f ms, worst %.2f ms (%zu failures)\n", what, ms[ms.size() / 2],
                total / ms.size(), ms.back(), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    QTemporaryDir work;
    const std::string record = (work.path() + "/record").toStdString();
    QProcess service;
    service.start("dbus-run-session",
                  {"--", "/usr/bin/python3", SIGNPOSTER_FAKE_NOTIFICATIONS, QString::fromStdString(record)});
    if (!service.waitForReadyRead(20000)) {
        std::fprintf(stderr, "notify_bench: the notification service did not start\n");
        return 1;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", service.readLine().trimmed().constData(), 1);

    RefusingHost refusing;
    signposter::testing::ScriptedFtpServer working;
    setenv("XDG_CONFIG_HOME", work.path().toLocal8Bit().constData(), 1);
    {
        std::ofstream settings((work.path() + "/signposter.ini").toStdString(), std::ios::binary);
        settings << "[Settings]\r\nHost=127.0.0.1\r\nUser=publisher\r\nLastIP=203.0.113.7\r\n";
    }
    signposter::testing::FakeClock clock;  // the pauses between attempts pass at once
    FixedLookup lookup;
    WindowServices services;
    services.lookup = &lookup;
    const bool realClock = argc > 2 && std::string(argv[2]) == "real";
    services.clock = realClock ? nullptr : &clock;
    auto tray = std::make_unique<TimedTray>();
    TimedTray& timedTray = *tray;
    services.trayShell = std::move(tray);
    TForm1 form(std::move(services));
    form.SetTimerEnabled(false);
    form.SetMessageBoxFunction([](const QString&, const QString&, MessageIcon) {});
    std::int64_t called = 0;
    QObject::connect(&form.Notifier(), &DesktopNotifier::Delivered,
                     [&called](const Notice&, bool) { called = MonotonicNs(); });
    auto* port = form.findChild<QLineEdit*>("Edit1");

    std::vector<double> toCall, toService, toWindow, windowToCall;
    std::size_t expected = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const int target : {refusing.Port(), working.Port()}) {
            port->setText(QString::number(target));
            form.velColorButton3click();  // Update Now
            ++expected;
            if (!QTest::qWaitFor([&] { return Lines(record).size() == expected; }, 60000)) {
                std::fprintf(stderr, "notify_bench: no notification in round %d\n", round + 1);
                return 1;
            }
            if (target != refusing.Port())
                continue;
            const std::string line = Lines(record).back();
            const std::int64_t received = std::stoll(line.substr(line.rfind('\t') + 1));
            toCall.push_back((called - refusing.LastClose()) / 1e6);
            toWindow.push_back((timedTray.outcomeShown - refusing.LastClose()) / 1e6);
            windowToCall.push_back((called - timedTray.outcomeShown) / 1e6);
            toService.push_back((received - refusing.LastClose()) / 1e6);
        }
    }
    std::printf("%s clock:\n", realClock ? "the machine's" : "a driven");
    Report("last failed attempt to D-Bus call:", toCall);
    Report("last failed attempt to the service:", toService);
    Report("  of which: to the outcome in the window", toWindow);
    Report("  of which: the window to the D-Bus call", windowToCall);
    std::printf("(the first failure also reaches the session bus: %.2f ms to the call)\n", toCall.front());
    service.closeWriteChannel();
    service.waitForFinished(10000);
    return 0;
}
