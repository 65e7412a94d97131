// The tray program. Its window and tray icon come later; for now it loads the settings and quits.
#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Signposter");
    return 0;
}
