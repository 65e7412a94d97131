#pragma once

#include <QObject>
#include <functional>
#include <string>

class QAction;
class QWidget;

namespace signposter::ui {

class TPopupMenu;

// The tray icon's menu: the window's commands, the settings dialog, the published page, start at login
// and Quit. Its items are brought up to date as it opens; Update Now and Offline stay off while a
// publication runs, as the commands would only wait behind it.
class TTrayMenu : public QObject {
    Q_OBJECT
public:
    struct Situation {
        bool windowVisible = false;
        bool publishing = false;
        bool pageKnown = false;  // there is a published page to open
    };

    // `situation` is asked as the menu opens; `showError` shows a failure of start at login. The program
    // "Start at login" names is `autostartProgram`, or the tray program beside the running one when empty.
    TTrayMenu(QWidget& owner, std::string autostartProgram, std::function<Situation()> situation,
              std::function<void(const std::string&)> showError);

    TPopupMenu* Menu() const { return PopupMenu1; }
    // A publication began or ended while the menu may be open.
    void SetPublishing(bool publishing);

signals:
    void ShowClicked();
    void UpdateNowClicked();
    void OfflineClicked();
    void SettingsClicked();
    void OpenPageClicked();
    void QuitClicked();

private:
    void PopupMenu1Popup();
    void StartAtLoginItemClick();

    std::string m_autostartProgram;
    std::function<Situation()> m_situation;
    std::function<void(const std::string&)> m_showError;
    TPopupMenu* PopupMenu1 = nullptr;
    QAction* ShowItem = nullptr;
    QAction* UpdateNowItem = nullptr;
    QAction* OfflineItem = nullptr;
    QAction* SettingsItem = nullptr;
    QAction* OpenPageItem = nullptr;
    QAction* StartAtLoginItem = nullptr;
    QAction* QuitItem = nullptr;
};

}  // namespace signposter::ui
