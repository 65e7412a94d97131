#pragma once

#include <map>

#include "core/live_settings.h"

namespace signposter::cli {

// The window's fields without a window: plain values, as the window would hold them at creation.
class HeadlessSettings final : public LiveSettings {
public:
    HeadlessSettings();
    std::string Text(TextField field) const override;
    void SetText(TextField field, const std::string& text) override;
    bool Checked(Switch which) const override;
    void SetChecked(Switch which, bool checked) override;

private:
    std::map<TextField, std::string> m_texts;
    std::map<Switch, bool> m_switches;
};

}  // namespace signposter::cli
