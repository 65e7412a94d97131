#include "ui/window_core.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <cerrno>
#include <cstdio>
#include <exception>

namespace signposter::ui {

// Which message box the user has closed last. Shared with the boxes' callbacks, which may run after the
// publishing thread stopped waiting for them.
struct WindowCore::Answers {
    Answers() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Answers() {
        if (fd >= 0)
            ::close(fd);
    }
    void Answer(std::uint64_t ticket) {
        answered.store(ticket);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &one, sizeof one);
    }
    std::atomic<std::uint64_t> answered{0};
    int fd;
};

// Wakes the window's thread for what the publishing thread left for it. The event carries nothing: what
// it announces waits under the core's lock.
class WindowCore::Relay final : public QObject {
public:
    explicit Relay(WindowCore& core) : m_core(core) {}

protected:
    void customEvent(QEvent*) override { m_core.DeliverToView(); }

private:
    WindowCore& m_core;
};

WindowCore::WindowCore(CoreView& view, QObject& viewContext, const FieldSnapshot& fields,
                       std::string settingsPath, CoreServices services, platform::StopRequest& stop)
    : m_view(view),
      m_stop(stop),
      m_stoppableClock(&stop),
      m_fields(fields),
      m_viewThread(std::this_thread::get_id()),
      m_relay(std::make_unique<Relay>(*this)),
      m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_answers(std::make_shared<Answers>()) {
    m_relay->moveToThread(viewContext.thread());
    if (!services.clock)
        services.clock = &m_stoppableClock;
    m_core = std::make_unique<PublishingCore>(*this, *this, std::move(settingsPath), std::move(services));
}

WindowCore::~WindowCore() {
    if (Running()) {
        m_ending.store(true);
        m_stop.Request();
        Queue([this] { Finish(); }, true);
    }
    Join();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void WindowCore::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

void WindowCore::UseAddressEvents(std::unique_ptr<platform::AddressEvents> events) {
    m_core->UseAddressEvents(std::move(events));
}

void WindowCore::Start() {
    Run([this] { m_core->GetMonitor().FormCreate(); }, true);
    // Opened before the thread starts, so that a change made once the window is up is seen.
    m_watch = &m_core->Watch();
    if (!m_watch->Watching())
        std::fprintf(stderr, "signposter: address events unavailable (%s); polling instead\n",
                     m_watch->UnavailableReason().c_str());
    m_nextTick = m_core->GetClock().TickCount() + m_core->GetMonitor().TickIntervalMs();
    m_thread = std::thread([this] { Loop(); });
}

void WindowCore::Queue(std::function<void()> what, bool evenWhenEnding) {
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        m_commands.push_back({std::move(what), evenWhenEnding});
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
}

bool WindowCore::TakeCommand(Command& command) {
    const std::lock_guard<std::mutex> hold(m_lock);
    if (m_commands.empty())
        return false;
    command = std::move(m_commands.front());
    m_commands.pop_front();
    return true;
}

void WindowCore::DrainWake() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(m_wakeFd, &count, sizeof count);
}

void WindowCore::WaitForCommand() {
    pollfd wake{m_wakeFd, POLLIN, 0};
    while (::poll(&wake, 1, -1) < 0 && errno == EINTR) {
    }
    DrainWake();
}

void WindowCore::Loop() {
    const Clock& clock = m_core->GetClock();
    while (!m_ended.load()) {
        // A command queued after the queue was looked at leaves the wake descriptor readable for the wait.
        Command command;
        if (TakeCommand(command)) {
            Run(command.what, command.evenWhenEnding);
        } else if (m_stop.Requested()) {
            WaitForCommand();
        } else {
            const AddressWatch::Wake wake = m_watch->WaitUntil(m_nextTick, {}, m_wakeFd);
            m_core->GetMonitor().SetAddressEventsWatched(m_watch->Watching());
            if (wake == AddressWatch::Wake::Woken)
                DrainWake();
            else if (wake == AddressWatch::Wake::Events && m_timerEnabled)
                Run([this] { m_core->GetMonitor().AddressEventsSettled(); }, false);
        }
        if (!m_ended.load() && clock.Passed(m_nextTick))
            RunTick();
    }
}

void WindowCore::RunTick() {
    const Clock& clock = m_core->GetClock();
    const std::int64_t interval = m_core->GetMonitor().TickIntervalMs();
    // A tick that ran long (a publication) does not make the ticks it covered run in a burst.
    m_nextTick += interval;
    if (m_nextTick <= clock.TickCount())
        m_nextTick = clock.TickCount() + interval;
    if (m_timerEnabled)
        Run([this] { m_core->GetMonitor().Timer1Timer(); }, false);
}

void WindowCore::Run(const std::function<void()>& what, bool evenWhenEnding) {
    if (m_ended.load() || (!evenWhenEnding && m_stop.Requested()))
        return;
    try {
        what();
    } catch (const std::exception& error) {
        ShowDefaultError(*this, error.what());
    }
    if (m_publishing) {
        m_publishing = false;
        ToView([view = &m_view] { view->ShowBusy(false); });
    }
    ToView([view = &m_view, state = m_core->State(), takenUp = m_settingsTakenUp] {
        view->TakeState(state, takenUp);
    });
}

void WindowCore::ToView(std::function<void()> what) {
    if (std::this_thread::get_id() == m_viewThread) {
        what();
        return;
    }
    bool wake = false;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        wake = m_toView.empty();
        m_toView.push_back(std::move(what));
    }
    if (wake)
        QCoreApplication::postEvent(m_relay.get(), new QEvent(QEvent::User));
}

void WindowCore::DeliverToView() {
    std::vector<std::function<void()>> calls;
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        calls.swap(m_toView);
    }
    for (const std::function<void()>& call : calls) call();
}

void WindowCore::Post(std::function<void(Monitor&)> command) {
    Queue([this, command = std::move(command)] { command(m_core->GetMonitor()); }, false);
}

void WindowCore::PostText(TextField field, std::string text) {
    Queue([this, field, text = std::move(text)] { m_fields.SetText(field, text); }, true);
}

void WindowCore::PostSwitch(Switch which, bool checked) {
    Queue([this, which, checked] { m_fields.SetChecked(which, checked); }, true);
}

void WindowCore::PostTimerEnabled(bool enabled) {
    Queue([this, enabled] { SetTimerEnabled(enabled); }, true);
}

void WindowCore::PostSettings(const KeyValues& changed) {
    Queue(
        [this, changed] {
            TakeUpSettings(m_core->State(), changed);
            ++m_settingsTakenUp;
        },
        true);
}

void WindowCore::PostClose() {
    Queue(
        [this] {
            // What the stop cut short has ended, and nothing waits now. Unless the window is going away
            // regardless, the stop is withdrawn: an error of the save waits for its box, and a program that
            // could not save goes on as before.
            if (!m_ending.load())
                m_stop.Withdraw();
            bool saved = false;
            try {
                saved = m_core->GetMonitor().FormClose();
            } catch (const std::exception& error) {
                ShowDefaultError(*this, error.what());
            }
            if (saved) {
                m_stop.Request();
                Finish();
            }
            ToView([view = &m_view, saved] { view->CoreClosed(saved); });
        },
        true);
}

std::uint64_t WindowCore::PostMarker() {
    const std::uint64_t marker = ++m_markers;
    Queue([this, marker] { ToView([view = &m_view, marker] { view->CoreCaughtUp(marker); }); }, true);
    return marker;
}

void WindowCore::SetText(TextField field, const std::string& text) {
    m_fields.SetText(field, text);
    ToView([view = &m_view, field, text] { view->ShowField(field, text); });
}

void WindowCore::SetChecked(Switch which, bool checked) {
    m_fields.SetChecked(which, checked);
    ToView([view = &m_view, which, checked] { view->ShowSwitch(which, checked); });
}

void WindowCore::ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) {
    if (std::this_thread::get_id() == m_viewThread) {
        // Loading, before the thread starts: the box opens and the window goes on.
        m_view.ShowMessageBox(caption, text, icon, [] {});
        return;
    }
    const std::uint64_t ticket = ++m_boxesAsked;
    ToView([view = &m_view, caption, text, icon, ticket, answers = m_answers] {
        view->ShowMessageBox(caption, text, icon, [answers, ticket] { answers->Answer(ticket); });
    });
    // The core goes on when the user has closed the box, or at once when the program is to end.
    pollfd fds[2] = {{m_answers->fd, POLLIN, 0}, {m_stop.Descriptor(), POLLIN, 0}};
    const nfds_t count = m_stop.Descriptor() >= 0 ? 2 : 1;
    while (m_answers->answered.load() < ticket && !m_stop.Requested()) {
        if (::poll(fds, count, -1) < 0 && errno != EINTR)
            return;
        std::uint64_t drained = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(m_answers->fd, &drained, sizeof drained);
    }
}

void WindowCore::ShowMainWindow() {
    m_windowVisible.store(true);
    ToView([view = &m_view] { view->ShowWindow(true); });
}

void WindowCore::HideMainWindow() {
    m_windowVisible.store(false);
    ToView([view = &m_view] { view->ShowWindow(false); });
}

void WindowCore::SetTimerEnabled(bool enabled) {
    m_timerEnabled = enabled;
    if (enabled)
        m_nextTick = m_core->GetClock().TickCount() + m_core->GetMonitor().TickIntervalMs();
}

void WindowCore::DispatchMessagesUntil(std::int64_t deadlineTick) {
    // The window serves its events on its own thread; this thread only waits, and a stop (or a publication
    // given up) ends the wait.
    const Clock& clock = m_core->GetClock();
    while (!m_stop.Requested() && !clock.Cancelled() && clock.TickCount() <= deadlineTick)
        clock.SleepUntil(deadlineTick + 1);
}

void WindowCore::ReportOutcome(const PublicationOutcome& outcome) {
    ToView([view = &m_view, outcome] { view->ShowOutcome(outcome); });
}

void WindowCore::ReportProgress(const std::string& address, int attempt, int attempts) {
    if (!m_publishing) {
        m_publishing = true;
        ToView([view = &m_view] { view->ShowBusy(true); });
    }
    ToView([view = &m_view, address, attempt, attempts] { view->ShowProgress(address, attempt, attempts); });
}

}  // namespace signposter::ui
