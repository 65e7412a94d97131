#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/clock.h"

namespace signposter::platform {
class StopRequest;
}

namespace signposter {

class AddressWatch;
class PublishingCore;
class UserInterface;

// The one way the core is run: its commands, the monitor's tick and the kernel's address events, one at a
// time on one thread, in the order they came. Between them the thread waits on the address events, the
// tick's deadline and a descriptor that each queued command wakes; the stop request ends that wait. Nothing
// nests: a command that arrives during a publication waits for it. The tray program runs it on its
// publishing thread and relays to the widgets; signposter-cli monitor runs it on its main thread.
class Runner {
public:
    // What a stop request means once the commands queued before it have run: the end of Run (the command
    // line, whose closing save follows), or a wait for the commands still to come (the window posts its
    // closing save, which may fail and let the program go on).
    enum class AtStop { Return, WaitForCommands };

    // `wakeView` is called, on the runner's thread, when calls for the view have been queued for a view
    // that had none waiting; without it the view is this thread, and each call runs at once. Raises
    // std::system_error when the wake descriptor cannot be had: without it commands would never be seen.
    Runner(PublishingCore& core, UserInterface& ui, const platform::StopRequest& stop, AtStop atStop,
           std::function<void()> wakeView = {});
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Any thread: `command` runs on the runner's thread after those posted before; skipped once a stop
    // has been requested unless `evenWhenStopping`.
    void Post(std::function<void()> command, bool evenWhenStopping = false);

    // Opens the address events (once) and schedules the first tick one interval from now. Run does it when
    // nobody did; the window does it before its thread starts, so that a change made once it shows is seen.
    AddressWatch& Begin();
    // Runs until Finish, or until a stop with AtStop::Return. Finish ends a Run that has begun; a stop
    // before it is seen by the next.
    void Run();
    // The runner's thread: nothing runs after the step running now.
    void Finish() { m_ended.store(true); }
    bool Ended() const { return m_ended.load(); }
    // The runner's thread: off, or on with the next tick a whole interval from now, as a timer started anew.
    void SetTimerEnabled(bool enabled);
    // Called after every command, tick and event handled (the view's report of the program's values).
    void SetAfterStep(std::function<void()> afterStep) { m_afterStep = std::move(afterStep); }

    // `call` runs on the view's thread: at once when that is the calling one, else queued.
    void ToView(std::function<void()> call);
    // The view's thread, woken: runs what was queued for it.
    void DeliverToView();

private:
    struct Command {
        std::function<void()> what;
        bool evenWhenStopping;
    };
    bool Take(Command& command);
    void Step(const std::function<void()>& what, bool evenWhenStopping);
    void Tick();
    void DrainWake();
    void WaitForWake();

    PublishingCore& m_core;
    UserInterface& m_ui;
    const platform::StopRequest& m_stop;
    const AtStop m_atStop;
    const std::function<void()> m_wakeView;
    const std::thread::id m_viewThread;
    std::function<void()> m_afterStep;
    int m_wakeFd = -1;  // readable while commands may wait

    std::mutex m_lock;
    std::deque<Command> m_commands;               // under m_lock
    std::vector<std::function<void()>> m_toView;  // under m_lock
    std::atomic<bool> m_ended{false};

    // The runner's thread only.
    AddressWatch* m_watch = nullptr;
    bool m_timerEnabled = true;
    std::int64_t m_nextTick = 0;
};

}  // namespace signposter
