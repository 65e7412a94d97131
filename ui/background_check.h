#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/stop_request.h"

namespace signposter::ui {

// What a check found, for the dialog to show. The work escapes any network text in `text`.
struct CheckResult {
    bool ok = false;
    std::string text;
    std::string fingerprint;  // a server check: the certificate's fingerprint, for "Trust this certificate"
};

// Runs one network check at a time on a thread of its own, so that the window and the tray icon stay
// responsive. The work waits on the clock it is given, whose waits all end when Cancel is called; every
// wait of the work is bounded by its own time-outs as well. The result comes back on the GUI thread as
// Finished; a cancelled check reports nothing.
class BackgroundCheck : public QObject {
    Q_OBJECT
public:
    using Work = std::function<CheckResult(const platform::Clock& clock, const platform::StopRequest& stop)>;

    explicit BackgroundCheck(QObject* parent = nullptr) : QObject(parent) {}
    // Cancels what still runs and waits for it: its waits end at once on the stop request.
    ~BackgroundCheck() override;

    bool Running() const { return m_job != nullptr; }
    // Starts `work`; a check already running is cancelled first.
    void Start(Work work);
    // Ends the waits of the running check; it reports nothing.
    void Cancel();

signals:
    void Finished(const signposter::ui::CheckResult& result);

private:
    struct Job {
        platform::StopRequest stop;
        platform::SystemClock clock{&stop};
        std::atomic<bool> done{false};
    };
    // Threads of cancelled checks, joined later: a name lookup in the system's resolver does not notice the
    // stop and ends only by its own time-out, which the GUI thread should not sit through.
    void ReapFinished();

    std::shared_ptr<Job> m_job;
    std::vector<std::pair<std::shared_ptr<Job>, std::thread>> m_threads;
};

}  // namespace signposter::ui

Q_DECLARE_METATYPE(signposter::ui::CheckResult)
