#pragma once

#include <map>

#include "core/live_settings.h"

namespace signposter {

// The window's fields without a window: plain values, starting as the window's fields start. The headless
// front end and the tests use it.
class PlainLiveSettings final : public LiveSettings {
public:
    PlainLiveSettings();
    std::string Text(TextField field) const override;
    void SetText(TextField field, const std::string& text) override;
    bool Checked(Switch which) const override;
    void SetChecked(Switch which, bool checked) override;

private:
    std::map<TextField, std::string> m_texts;
    std::map<Switch, bool> m_switches;
};

}  // namespace signposter
