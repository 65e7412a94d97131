#include "ui/window_core.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>

#include "core/extended_settings.h"
#include "platform/exceptions.h"

namespace signposter::ui {

// Which message box the user has closed last. Shared with the boxes' callbacks, which may run after the
// publishing thread stopped waiting for them.
struct WindowCore::Answers {
    Answers() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        // Without it a box's answer would never wake the core.
        if (fd < 0)
            throw std::system_error(errno, std::generic_category(), "cannot make the message box descriptor");
    }
    ~Answers() { ::close(fd); }
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
    void customEvent(QEvent*) override { m_core.m_runner->DeliverToView(); }

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
      m_answers(std::make_shared<Answers>()) {
    m_relay->moveToThread(viewContext.thread());
    if (!services.clock)
        services.clock = &m_stoppableClock;
    m_core = std::make_unique<PublishingCore>(*this, *this, std::move(settingsPath), std::move(services));
    m_runner = std::make_unique<Runner>(*m_core, *this, m_stop, Runner::AtStop::WaitForCommands, [this] {
        QCoreApplication::postEvent(m_relay.get(), new QEvent(QEvent::User));
    });
    m_runner->SetAfterStep([this] { AfterStep(); });
}

WindowCore::~WindowCore() {
    if (Running()) {
        {
            const std::lock_guard<std::mutex> hold(m_endLock);
            m_ending = true;
            m_stop.Request();
        }
        m_runner->Post([this] { m_runner->Finish(); }, true);
    }
    Join();
}

void WindowCore::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

void WindowCore::UseAddressEvents(std::unique_ptr<platform::AddressEvents> events) {
    m_core->UseAddressEvents(std::move(events));
}

void WindowCore::Start() {
    try {
        m_core->GetMonitor().FormCreate();
    } catch (const std::exception& error) {
        ShowDefaultError(*this, error.what());
    }
    AfterStep();
    // Opened before the thread starts, so that a change made once the window is up is seen.
    const AddressWatch& watch = m_runner->Begin();
    if (!watch.Watching())
        std::fprintf(stderr, "signposter: address events unavailable (%s); polling instead\n",
                     watch.UnavailableReason().c_str());
    m_thread = std::thread([this] { m_runner->Run(); });
}

void WindowCore::AfterStep() {
    if (m_publishing) {
        m_publishing = false;
        ToView([view = &m_view] { view->ShowBusy(false); });
    }
    ToView([view = &m_view, state = m_core->State(), takenUp = m_settingsTakenUp] {
        view->TakeState(state, takenUp);
    });
}

void WindowCore::Post(std::function<void(Monitor&)> command) {
    m_runner->Post([this, command = std::move(command)] { command(m_core->GetMonitor()); });
}

void WindowCore::PostText(TextField field, std::string text) {
    m_runner->Post([this, field, text = std::move(text)] { m_fields.SetText(field, text); }, true);
}

void WindowCore::PostSwitch(Switch which, bool checked) {
    m_runner->Post([this, which, checked] { m_fields.SetChecked(which, checked); }, true);
}

void WindowCore::PostTimerEnabled(bool enabled) {
    m_runner->Post([this, enabled] { SetTimerEnabled(enabled); }, true);
}

void WindowCore::PostSettings(const KeyValues& changed) {
    m_runner->Post(
        [this, changed] {
            // The lock and the file's fsync wait here, never on the window's thread.
            std::string error;
            try {
                if (auto problem = MovePasswordForChange(m_core->GetClock(), m_fields, m_core->State(), changed))
                    throw Exception(*problem);
                WriteSettingKeys(m_core->SettingsPath(), changed);
                ApplySettingKeys(m_core->State(), changed);
            } catch (const Exception& failure) {
                error = failure.Message();
            } catch (const std::exception& failure) {
                error = failure.what();
            }
            ++m_settingsTakenUp;
            ToView([view = &m_view, error] { view->SettingsSaved(error); });
        },
        true);
}

void WindowCore::PostClose() {
    m_runner->Post(
        [this] {
            // What the stop cut short has ended, and nothing waits now. Unless the window is going away
            // regardless, the stop is withdrawn: an error of the save waits for its box, and a program that
            // could not save goes on as before.
            {
                const std::lock_guard<std::mutex> hold(m_endLock);
                if (!m_ending)
                    m_stop.Withdraw();
            }
            bool saved = false;
            try {
                saved = m_core->GetMonitor().FormClose();
            } catch (const std::exception& error) {
                ShowDefaultError(*this, error.what());
            }
            if (saved) {
                m_stop.Request();
                m_runner->Finish();
            }
            ToView([view = &m_view, saved] { view->CoreClosed(saved); });
        },
        true);
}

std::uint64_t WindowCore::PostMarker() {
    const std::uint64_t marker = ++m_markers;
    m_runner->Post([this, marker] { ToView([view = &m_view, marker] { view->CoreCaughtUp(marker); }); },
                   true);
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
