#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/server_check.h"
#include "platform/clock.h"
#include "platform/stop_request.h"

namespace signposter::ui {

using CheckResult = signposter::CheckReport;

// Runs one network check at a time on a thread of its own, so that the window and the tray icon stay
// responsive. The work waits on the clock it is given, whose waits all end when Cancel is called; every
// wait of the work is bounded by its own time-outs as well. The result comes back on the GUI thread as
// Finished; a cancelled check reports nothing. The window never waits for the thread: a cancelled check's
// thread is joined later, once it has ended (at the next Start, or by JoinAll at the program's end, which
// cancels what still runs; its waits end at once, and the look-ups it makes are bounded).
class BackgroundCheck : public QObject {
    Q_OBJECT
public:
    using Work = std::function<CheckResult(const platform::Clock& clock, const platform::StopRequest& stop)>;

    explicit BackgroundCheck(QObject* parent = nullptr) : QObject(parent) {}
    // Cancels what still runs and lets its thread end on its own; it reports to nobody.
    ~BackgroundCheck() override;

    bool Running() const { return m_job != nullptr; }
    // Starts `work`; a check already running is cancelled first.
    void Start(Work work);
    // Ends the waits of the running check; it reports nothing.
    void Cancel();
    // Before main returns: cancels every check still running and joins every check's thread.
    static void JoinAll();

signals:
    void Finished(const signposter::ui::CheckResult& result);

private slots:
    // On the GUI thread: hands the finished check's result on as Finished.
    void Deliver();

private:
    // Owned jointly by this object and the check's thread, so that either may go first.
    struct Job {
        platform::StopRequest stop;
        platform::SystemClock clock{&stop};
        std::mutex mutex;
        BackgroundCheck* owner = nullptr;  // null once nobody wants the result; guarded by mutex
        std::optional<CheckResult> result;  // the finished check's; guarded by mutex
        std::atomic<bool> ended{false};
    };

    std::shared_ptr<Job> m_job;
};

}  // namespace signposter::ui

Q_DECLARE_METATYPE(signposter::ui::CheckResult)
