#pragma once

#include <map>

#include "core/live_settings.h"

namespace signposter::testing {

// The window's fields as plain values, starting as the window starts.
class FakeLiveSettings : public LiveSettings {
public:
    FakeLiveSettings() {
        m_texts[TextField::Port] = "21";
        m_texts[TextField::PageName] = "ipaddress.htm";
        m_texts[TextField::RemotePath] = "/";
        m_switches[Switch::Passive] = true;
        m_switches[Switch::InternalRedirect] = true;
        m_switches[Switch::Active] = true;
    }
    std::string Text(TextField field) const override {
        const auto it = m_texts.find(field);
        return it == m_texts.end() ? std::string() : it->second;
    }
    void SetText(TextField field, const std::string& text) override { m_texts[field] = text; }
    bool Checked(Switch which) const override {
        const auto it = m_switches.find(which);
        return it != m_switches.end() && it->second;
    }
    void SetChecked(Switch which, bool checked) override { m_switches[which] = checked; }

private:
    std::map<TextField, std::string> m_texts;
    std::map<Switch, bool> m_switches;
};

}  // namespace signposter::testing
