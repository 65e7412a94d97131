// The tray program: starts with nothing but its tray icon and ends when its window closes with the
// settings saved. It reads no command-line options.
#include <QApplication>

#include "ui/application.h"
#include "ui/main_window.h"

int main(int argc, char** argv) {
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
    return application.Run(form1);
}
