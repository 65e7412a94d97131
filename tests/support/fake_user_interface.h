#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/user_interface.h"

namespace signposter::testing {

// Records what the core shows and drives a fake tick counter: waiting for messages jumps the clock to the
// deadline, after running whatever the test queued as "messages" (a timer tick, a button click).
class FakeUserInterface : public UserInterface {
public:
    struct Message {
        std::string caption;
        std::string text;
        MessageIcon icon;
    };

    explicit FakeUserInterface(std::int64_t* tick = nullptr) : m_tick(tick) {}

    void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override {
        messages.push_back({caption, text, icon});
        if (onMessage)
            onMessage();
    }
    void ShowMainWindow() override {
        visible = true;
        ++showCount;
    }
    void HideMainWindow() override {
        visible = false;
        ++hideCount;
    }
    bool MainWindowVisible() const override { return visible; }
    void SetTimerEnabled(bool enabled) override { timerEnabled = enabled; }
    void DispatchMessagesUntil(std::int64_t deadlineTick) override {
        waits.push_back(deadlineTick - (m_tick ? *m_tick : 0));
        if (duringWait) {
            auto pending = std::move(duringWait);
            duringWait = nullptr;
            pending();
        }
        if (m_tick && *m_tick <= deadlineTick)
            *m_tick = deadlineTick + 1;
    }
    void ReportOutcome(const PublicationOutcome& outcome) override { outcomes.push_back(outcome); }
    bool EndRequested() const override { return endRequested; }

    std::vector<Message> messages;
    std::vector<PublicationOutcome> outcomes;
    std::vector<std::int64_t> waits;  // milliseconds asked for by each wait
    bool visible = false;
    int showCount = 0;
    int hideCount = 0;
    bool timerEnabled = true;
    bool endRequested = false;
    std::function<void()> onMessage;   // runs while a message box is "open"
    std::function<void()> duringWait;  // runs once inside the next wait, as a dispatched message

private:
    std::int64_t* m_tick;
};

}  // namespace signposter::testing
