#include "core/plain_live_settings.h"

namespace signposter {

PlainLiveSettings::PlainLiveSettings() {
    // The window's initial field contents; loading the settings replaces them.
    m_texts[TextField::Port] = "21";
    m_texts[TextField::PageName] = "ipaddress.htm";
    m_texts[TextField::RemotePath] = "/";
    m_switches[Switch::Passive] = true;
    m_switches[Switch::InternalRedirect] = true;
    m_switches[Switch::Active] = true;
}

std::string PlainLiveSettings::Text(TextField field) const {
    const auto it = m_texts.find(field);
    return it == m_texts.end() ? std::string() : it->second;
}

void PlainLiveSettings::SetText(TextField field, const std::string& text) {
    m_texts[field] = text;
}

bool PlainLiveSettings::Checked(Switch which) const {
    const auto it = m_switches.find(which);
    return it != m_switches.end() && it->second;
}

void PlainLiveSettings::SetChecked(Switch which, bool checked) {
    m_switches[which] = checked;
}

}  // namespace signposter
