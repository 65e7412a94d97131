// The tray program's window against servers that stall, in-process on Qt's offscreen platform:
//   tray_bench lateness [SECONDS]  a 50 ms timer on the window's thread while an upload waits on a silent
//                                  server: the worst and mean lateness (goal: worst under 100 ms);
//   tray_bench quit                Quit in each state of a publication: the time until the program may end
//                                  (settings saved, publishing thread joined; goal: under 1 s each).
// Every peer is on 127.0.0.1; the host lookup is a fixed one, so that nothing leaves the machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/scripted_ftp_server.h"
#include "ui/main_window.h"
#include "ui/window_doubles.h"

namespace {

using namespace signposter;
using namespace signposter::ui;

// A listener on 127.0.0.1 that never accepts. A full one has its queue filled first, so that a connect to
// it hangs.
class Listener {
public:
    explicit Listener(bool full) : m_socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_socket, full ? 0 : 8);
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        for (int i = 0; full && i < 4; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            m_fillers.push_back(filler);
        }
    }
    ~Listener() {
        for (const int filler : m_fillers) ::close(filler);
        ::close(m_socket);
    }
    int Port() const { return m_port; }

private:
    int m_socket;
    int m_port = 0;
    std::vector<int> m_fillers;
};

struct Window {
    QTemporaryDir config;
    FixedLookup lookup;
    QString tip;
    std::unique_ptr<TForm1> form;

    explicit Window(const std::string& settings) {
        setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
        FILE* file = std::fopen((config.path() + "/signposter.ini").toLocal8Bit().constData(), "wb");
        const std::string text = "[Settings]\r\nUser=publisher\r\nLastIP=203.0.113.7\r\n" + settings;
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        WindowServices services;
        services.lookup = &lookup;
        services.trayShell = std::make_unique<TipRecorder>(tip);
        form = std::make_unique<TForm1>(std::move(services));
        form->SetMessageBoxFunction([](const QString&, const QString&, MessageIcon) {});
    }
    bool WaitFor(const std::function<bool()>& ready) { return QTest::qWaitFor(ready, 10000); }
    bool Publishing() {
        return WaitFor([this] { return tip.startsWith("Signposter: publishing "); });
    }
};

std::string Server(int port) {
    return "Host=127.0.0.1\r\nPort=" + std::to_string(port) + "\r\n";
}

int Lateness(int seconds) {
    testing::ScriptedFtpServer silent;
    silent.SetGreeting(testing::Silence());
    Window window(Server(silent.Port()));
    window.form->velColorButton3click();  // Update Now
    if (!window.Publishing()) {
        std::fprintf(stderr, "tray_bench: the publication did not start\n");
        return 1;
    }
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(50);
    QElapsedTimer clock;
    std::int64_t last = 0;
    std::int64_t worst = 0;
    std::int64_t total = 0;
    int ticks = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const std::int64_t now = clock.nsecsElapsed();
        const std::int64_t late = now - last - 50'000'000;
        last = now;
        worst = std::max(worst, late);
        total += std::max<std::int64_t>(late, 0);
        ++ticks;
    });
    clock.start();
    timer.start();
    QTest::qWait(seconds * 1000);
    timer.stop();
    const bool stillPublishing = window.form->Publishing();
    std::printf(
        "GUI thread lateness over %d s of a stalled upload: worst %.1f ms, mean %.2f ms, %d ticks of 50 "
        "ms%s\n",
        seconds, worst / 1e6, ticks ? total / 1e6 / ticks : 0.0, ticks,
        stillPublishing ? "" : " (the upload ended early)");
    return 0;
}

// Quits once `ready` holds and reports the time until the program may end.
void QuitWhen(const char* state, Window& window, const std::function<bool()>& ready) {
    if (!window.WaitFor(ready)) {
        std::printf("%-22s not reached\n", state);
        return;
    }
    QTest::qWait(300);  // well into the wait
    bool closed = false;
    QObject::connect(window.form.get(), &TForm1::Closed, [&closed] { closed = true; });
    QElapsedTimer elapsed;
    elapsed.start();
    window.form->QuitItemClick();
    window.WaitFor([&closed] { return closed; });
    const double ms = elapsed.nsecsElapsed() / 1e6;
    window.form.reset();
    std::printf("%-22s %7.1f ms to the end (window gone %7.1f ms)%s\n", state, ms,
                elapsed.nsecsElapsed() / 1e6, closed ? "" : " NOT CLOSED");
}

int Quit() {
    {
        Window window(Server(1));
        QuitWhen("idle", window, [] { return true; });
    }
    {
        Listener full(true);
        Window window(Server(full.Port()));
        window.form->velColorButton3click();
        QuitWhen("connect", window, [&window] { return window.Publishing(); });
    }
    {
        testing::ScriptedFtpServer silent;
        silent.SetGreeting(testing::Silence());
        Window window(Server(silent.Port()));
        window.form->velColorButton3click();
        QuitWhen("reply wait", window, [&window] { return window.Publishing(); });
    }
    {
        // AUTH answered, then the server never answers the client's hello.
        testing::ScriptedFtpServer server;
        server.Script("AUTH", testing::Say("234 Proceed.\r\n"));
        Window window(Server(server.Port()) + "FtpSecurity=ExplicitTLS\r\n");
        window.form->velColorButton3click();
        QuitWhen("TLS handshake", window, [&server] {
            const auto commands = server.Commands();
            return std::find(commands.begin(), commands.end(), "AUTH TLS") != commands.end();
        });
    }
    {
        testing::ScriptedFtpServer server;
        testing::ScriptedReply stall = testing::Say("150 Opening data connection.\r\n");
        stall.data = testing::ScriptedReply::Data::Stall;
        server.Script("STOR", stall);
        Window window(Server(server.Port()));
        window.form->velColorButton3click();
        QuitWhen("data transfer", window, [&server] { return server.DataConnections() > 0; });
    }
    {
        Window window(Server(testing::ClosedLoopbackPort()));
        window.form->velColorButton3click();
        QuitWhen("retry pause", window, [&window] { return window.tip.contains("(attempt 1 of"); });
    }
    {
        testing::ScriptedFtpServer server;
        Listener silentWeb(false);
        Window window(Server(server.Port()) + "VerifyURL=http://127.0.0.1:" +
                      std::to_string(silentWeb.Port()) + "/ipaddress.htm\r\n");
        window.form->velColorButton3click();
        QuitWhen("verification", window, [&server] { return !server.Uploads().empty(); });
    }
    {
        // The web address source asks a page that never answers, at the tick.
        Listener silentWeb(false);
        Window window(Server(1) + "AddressSource=Web\r\nAddressURL=http://127.0.0.1:" +
                      std::to_string(silentWeb.Port()) + "/ip\r\n");
        QuitWhen("web address source", window, [] { return QTest::qWait(1200), true; });
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (argc > 1 && std::strcmp(argv[1], "lateness") == 0)
        return Lateness(argc > 2 ? std::atoi(argv[2]) : 30);
    if (argc > 1 && std::strcmp(argv[1], "quit") == 0)
        return Quit();
    std::fputs("usage: tray_bench lateness [SECONDS] | quit\n", stderr);
    return 2;
}
