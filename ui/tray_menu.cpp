#include "ui/tray_menu.h"

#include <QAction>
#include <optional>

#include "platform/autostart.h"
#include "ui/cool_tray_icon.h"

namespace signposter::ui {

TTrayMenu::TTrayMenu(QWidget& owner, std::string autostartProgram, std::function<Situation()> situation,
                     std::function<void(const std::string&)> showError)
    : QObject(&owner),
      m_autostartProgram(std::move(autostartProgram)),
      m_situation(std::move(situation)),
      m_showError(std::move(showError)) {
    setObjectName("TrayMenu");
    PopupMenu1 = new TPopupMenu(&owner);
    PopupMenu1->setObjectName("PopupMenu1");
    PopupMenu1->SetAutoPopup(true);
    auto item = [this](const char* name, const char* caption, void (TTrayMenu::*clicked)()) {
        QAction* action = PopupMenu1->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, clicked);
        return action;
    };
    ShowItem = item("ShowItem", "Show Signposter", &TTrayMenu::ShowClicked);
    UpdateNowItem = item("UpdateNowItem", "Update Now", &TTrayMenu::UpdateNowClicked);
    OfflineItem = item("OfflineItem", "Offline", &TTrayMenu::OfflineClicked);
    PopupMenu1->addSeparator();
    SettingsItem = item("SettingsItem", "Settings...", &TTrayMenu::SettingsClicked);
    OpenPageItem = item("OpenPageItem", "Open published page", &TTrayMenu::OpenPageClicked);
    StartAtLoginItem = item("StartAtLoginItem", "Start at login", &TTrayMenu::StartAtLoginItemClick);
    StartAtLoginItem->setCheckable(true);
    PopupMenu1->addSeparator();
    QuitItem = item("QuitItem", "Quit", &TTrayMenu::QuitClicked);
    connect(PopupMenu1, &QMenu::aboutToShow, this, &TTrayMenu::PopupMenu1Popup);
}

void TTrayMenu::PopupMenu1Popup() {
    const Situation now = m_situation();
    ShowItem->setText(now.windowVisible ? "Hide Signposter" : "Show Signposter");
    SetPublishing(now.publishing);
    StartAtLoginItem->setChecked(platform::AutostartEnabled());
    OpenPageItem->setEnabled(now.pageKnown);
}

void TTrayMenu::SetPublishing(bool publishing) {
    UpdateNowItem->setEnabled(!publishing);
    OfflineItem->setEnabled(!publishing);
}

void TTrayMenu::StartAtLoginItemClick() {
    const bool wanted = StartAtLoginItem->isChecked();
    const std::string program = m_autostartProgram.empty() ? platform::TrayProgramPath() : m_autostartProgram;
    const std::optional<std::string> problem =
        wanted ? platform::EnableAutostart(program) : platform::DisableAutostart();
    StartAtLoginItem->setChecked(platform::AutostartEnabled());
    if (problem)
        m_showError("Start at login could not be changed: " + *problem);
}

}  // namespace signposter::ui
