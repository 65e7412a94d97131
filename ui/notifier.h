#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "core/user_interface.h"

namespace signposter::ui {

// One notice for the person: a short title and one sentence.
struct Notice {
    QString summary;
    QString body;
    bool failure = true;
};

// Which publication outcomes are worth telling: a failure once, however often its publication is tried
// again and fails the same way, and then the first success after it. Everything else stays quiet.
class FailureMemory {
public:
    std::optional<Notice> Take(const PublicationOutcome& outcome);

private:
    std::optional<std::string> m_failure;  // what the last failure told was about
};

// Tells the person what FailureMemory lets through, where a desktop shows it: the session bus's
// notification service, or, where none answers, the tray icon's balloon. Nothing here waits: the bus is
// reached on a thread of its own the first time, and every call to the service is asynchronous.
class DesktopNotifier final : public QObject {
    Q_OBJECT
public:
    using Balloon = std::function<void(const QString& title, const QString& text)>;
    explicit DesktopNotifier(Balloon balloon, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // An outcome the core reported; told when FailureMemory says so and the user has not turned it off.
    void Outcome(const PublicationOutcome& outcome, bool enabled);

signals:
    // A notice has been handed to the notification service (`viaBus`) or to the balloon.
    void Delivered(const Notice& notice, bool viaBus);

private:
    enum class Bus { Unknown, Connecting, Connected, Absent };

    void Send(const Notice& notice);
    void CallService(const Notice& notice);
    Q_INVOKABLE void BusReached();
    void ShowBalloon(const Notice& notice);

    Balloon m_balloon;
    FailureMemory m_memory;
    Bus m_bus = Bus::Unknown;
    std::deque<Notice> m_waiting;  // while the bus is being reached
    std::thread m_connector;
    std::atomic<bool> m_connected{false};
    unsigned m_lastId = 0;  // the service's id of our last notice, which the next one replaces
};

}  // namespace signposter::ui
