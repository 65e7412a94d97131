// The tray program: starts with nothing but its tray icon (with its window, on a desktop that has no tray)
// and ends when its window closes with the settings saved. Beyond --version and --help it reads no
// command-line options.
#include <malloc.h>

#include <QApplication>
#include <cstdio>
#include <cstring>

#include "ui/application.h"
#include "ui/background_check.h"
#include "ui/main_window.h"
#include "ui/stop_signals.h"

int main(int argc, char** argv) {
    // The allocator would give each thread that allocates its own arena and keep what each one freed; the
    // window's thread and one arena shared by the others (publishing, look-ups, Qt's own) are plenty.
    ::mallopt(M_ARENA_MAX, 2);
    // Answered before any display is needed, so they work from a terminal without a desktop.
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("signposter %s\n", SIGNPOSTER_VERSION);
        return 0;
    }
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(
            "usage: signposter [--version | --help]\n"
            "The tray program: it starts with only its tray icon; click the icon for the window.\n"
            "On a desktop without a system tray the window opens at start instead.\n"
            "Settings are kept in $XDG_CONFIG_HOME/signposter.ini (or ~/.config/signposter.ini).\n"
            "See signposter(1), and signposter-cli(1) for use without a desktop.\n",
            stdout);
        return 0;
    }
    // Qt's own options are not offered either: the toolkit sees the program name alone.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    // The window is hidden most of the time; only its close handler ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    signposter::ui::TApplication& application = signposter::ui::TApplication::Instance();
    application.SetTitle("Signposter");

    signposter::ui::TForm1 form1;
    QObject::connect(&form1, &signposter::ui::TForm1::Closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // A logout's SIGTERM is a Quit: the settings are saved and a publication in progress stays pending.
    const signposter::ui::StopSignals stopSignals([&form1] { form1.close(); });
    const int status = application.Run(form1);
    // No thread of a check or a look-up outlives main: the libraries they use are cleaned up after it.
    signposter::ui::BackgroundCheck::JoinAll();
    return status;
}
