#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/user_interface.h"

namespace signposter::testing {

// Records what the core shows.
class FakeUserInterface : public UserInterface {
public:
    struct Message {
        std::string caption;
        std::string text;
        MessageIcon icon;
    };

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
    void ReportOutcome(const PublicationOutcome& outcome) override { outcomes.push_back(outcome); }
    void ReportProgress(const std::string&, int attempt, int) override {
        if (onProgress)
            onProgress(attempt);
    }
    bool EndRequested() const override { return endRequested; }

    std::vector<Message> messages;
    std::vector<PublicationOutcome> outcomes;
    bool visible = false;
    int showCount = 0;
    int hideCount = 0;
    bool timerEnabled = true;
    bool endRequested = false;
    std::function<void()> onMessage;          // runs while a message box is "open"
    std::function<void(int)> onProgress;  // runs as an upload attempt begins
};

}  // namespace signposter::testing
