#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace signposter::ui {

// SIGTERM, SIGINT and SIGHUP (a session's logout, Ctrl-C in the terminal that started the program) end the
// tray program as its Quit item does, on the window's thread, so that the closing save runs. A second
// signal ends the program at once, for a save that waits on a message box nobody will answer.
class StopSignals final : public QObject {
public:
    // One at a time: the handlers are the process's.
    explicit StopSignals(std::function<void()> onStop, QObject* parent = nullptr);
    ~StopSignals() override;
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::function<void()> m_onStop;
    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace signposter::ui
