#include "core/runner.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <system_error>

#include "core/address_watch.h"
#include "core/monitor.h"
#include "core/publishing_core.h"
#include "core/user_interface.h"
#include "platform/stop_request.h"

namespace signposter {

Runner::Runner(PublishingCore& core, UserInterface& ui, const platform::StopRequest& stop, AtStop atStop,
               std::function<void()> wakeView)
    : m_core(core),
      m_ui(ui),
      m_stop(stop),
      m_atStop(atStop),
      m_wakeView(std::move(wakeView)),
      m_viewThread(std::this_thread::get_id()),
      m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_wakeFd < 0)
        throw std::system_error(errno, std::generic_category(), "cannot make the core's wake descriptor");
}

Runner::~Runner() {
    ::close(m_wakeFd);
}

void Runner::Post(std::function<void()> command, bool evenWhenStopping) {
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        m_commands.push_back({std::move(command), evenWhenStopping});
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
}

bool Runner::Take(Command& command) {
    const std::lock_guard<std::mutex> hold(m_lock);
    if (m_commands.empty())
        return false;
    command = std::move(m_commands.front());
    m_commands.pop_front();
    return true;
}

void Runner::DrainWake() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(m_wakeFd, &count, sizeof count);
}

void Runner::WaitForWake() {
    pollfd wake{m_wakeFd, POLLIN, 0};
    while (::poll(&wake, 1, -1) < 0 && errno == EINTR) {
    }
    DrainWake();
}

AddressWatch& Runner::Begin() {
    if (!m_watch) {
        m_watch = &m_core.Watch();
        m_nextTick = m_core.GetClock().TickCount() + m_core.GetMonitor().TickIntervalMs();
    }
    return *m_watch;
}

void Runner::Run() {
    Begin();
    m_ended.store(false);  // a runner may run again after Finish (tests do)
    Monitor& monitor = m_core.GetMonitor();
    while (!m_ended.load()) {
        // A command queued after the queue was looked at leaves the wake descriptor readable for the wait.
        Command command;
        if (Take(command)) {
            Step(command.what, command.evenWhenStopping);
        } else if (m_stop.Requested()) {
            if (m_atStop == AtStop::Return)
                return;
            WaitForWake();
        } else {
            const AddressWatch::Wake wake = m_watch->WaitUntil(m_nextTick, {}, m_wakeFd);
            monitor.SetAddressEventsWatched(m_watch->Watching());
            if (wake == AddressWatch::Wake::Woken)
                DrainWake();
            else if (wake == AddressWatch::Wake::Events && m_timerEnabled)
                Step([&monitor] { monitor.AddressEventsSettled(); }, false);
        }
        if (!m_ended.load() && m_core.GetClock().Passed(m_nextTick))
            Tick();
    }
}

void Runner::Tick() {
    const Clock& clock = m_core.GetClock();
    const std::int64_t interval = m_core.GetMonitor().TickIntervalMs();
    // A tick that ran long (a publication) does not make the ticks it covered run in a burst.
    m_nextTick += interval;
    if (m_nextTick <= clock.TickCount())
        m_nextTick = clock.TickCount() + interval;
    if (m_timerEnabled)
        Step([this] { m_core.GetMonitor().Timer1Timer(); }, false);
}

void Runner::Step(const std::function<void()>& what, bool evenWhenStopping) {
    if (m_ended.load() || (!evenWhenStopping && m_stop.Requested()))
        return;
    try {
        what();
    } catch (const std::exception& error) {
        ShowDefaultError(m_ui, error.what());
    }
    if (m_afterStep)
        m_afterStep();
}

void Runner::SetTimerEnabled(bool enabled) {
    m_timerEnabled = enabled;
    if (enabled)
        m_nextTick = m_core.GetClock().TickCount() + m_core.GetMonitor().TickIntervalMs();
}

void Runner::ToView(std::function<void()> call) {
    if (!m_wakeView || std::this_thread::get_id() == m_viewThread) {
        call();
        return;
    }
    bool wake = false;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        wake = m_toView.empty();
        m_toView.push_back(std::move(call));
    }
    if (wake)
        m_wakeView();
}

void Runner::DeliverToView() {
    std::vector<std::function<void()>> calls;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        calls.swap(m_toView);
    }
    for (const std::function<void()>& call : calls) call();
}

}  // namespace signposter
