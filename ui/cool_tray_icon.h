#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

namespace signposter::ui {

// An ordered set of icons the tray icon can show by index or step through.
class TImageList : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    int Count() const { return static_cast<int>(m_icons.size()); }
    void Add(const QIcon& icon) { m_icons.push_back(icon); }
    QIcon Icon(int index) const;

private:
    std::vector<QIcon> m_icons;
};

// A menu that can open from the tray icon. AutoPopup off keeps it from opening on its own.
class TPopupMenu : public QMenu {
    Q_OBJECT
public:
    using QMenu::QMenu;
    bool AutoPopup() const { return m_autoPopup; }
    void SetAutoPopup(bool autoPopup) { m_autoPopup = autoPopup; }
    // The component that opened the menu last, for handlers shared by several of them.
    QObject* PopupComponent() const { return m_popupComponent; }
    void SetPopupComponent(QObject* component) { m_popupComponent = component; }

private:
    bool m_autoPopup = true;
    QPointer<QObject> m_popupComponent;
};

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

// Modifier keys and mouse buttons held, as a bit set.
enum TShiftFlag : unsigned {
    ssShift = 1u << 0,
    ssAlt = 1u << 1,
    ssCtrl = 1u << 2,
    ssLeft = 1u << 3,
    ssRight = 1u << 4,
    ssMiddle = 1u << 5,
};
using TShiftState = unsigned;

// The mouse notifications of a tray icon, numbered as the desktop shell reports them.
namespace tray_message {
inline constexpr unsigned kMouseMove = 0x200;
inline constexpr unsigned kLButtonDown = 0x201;
inline constexpr unsigned kLButtonUp = 0x202;
inline constexpr unsigned kLButtonDblClk = 0x203;
inline constexpr unsigned kRButtonDown = 0x204;
inline constexpr unsigned kRButtonUp = 0x205;
inline constexpr unsigned kMButtonDown = 0x207;
inline constexpr unsigned kMButtonUp = 0x208;
}  // namespace tray_message

// What the notification area shows for the icon.
struct TrayEntry {
    QIcon icon;
    QString tip;  // at most kMaxTipLength characters
};
inline constexpr int kMaxTipLength = 63;

// The desktop's notification area as the tray icon uses it: add, refresh and remove one entry. Results
// are not reported: an icon the desktop refuses is simply absent.
class TrayShell {
public:
    virtual ~TrayShell() = default;
    virtual void Add(const TrayEntry& entry) = 0;
    virtual void Modify(const TrayEntry& entry) = 0;
    virtual void Delete() = 0;
    // Whether the desktop has a notification area to hold the entry now.
    virtual bool Available() const { return true; }
    // A short message from the entry (a balloon), where the desktop shows one.
    virtual void ShowBalloon(const QString& /*title*/, const QString& /*text*/) {}
};

// Qt reports the second press of a double click on a tray icon as a click and then as a double click.
// Each click is held back until the event that produced it has been handled and dropped when a double
// click follows, so a double click arrives as one click and one double click, as the icon expects.
class ActivationSequencer : public QObject {
    Q_OBJECT
public:
    explicit ActivationSequencer(std::function<void(QSystemTrayIcon::ActivationReason)> deliver)
        : m_deliver(std::move(deliver)) {}
    void Activated(QSystemTrayIcon::ActivationReason reason);

private:
    void FlushPendingClick();

    std::function<void(QSystemTrayIcon::ActivationReason)> m_deliver;
    bool m_clickPending = false;
};

// The program's presence in the notification area. Mouse activity on the icon becomes events (signals
// named after them); the owner window is watched so that an explicit show brings it to the front and,
// with MinimizeToTray, minimising hides it instead.
class TCoolTrayIcon : public QObject {
    Q_OBJECT
public:
    // `owner` is the main window; `shell` defaults to Qt's system tray.
    explicit TCoolTrayIcon(QWidget* owner, std::unique_ptr<TrayShell> shell = nullptr);
    ~TCoolTrayIcon() override;

    // End of loading: applies StartMinimized, refreshes the entry and adds it when IconVisible is on.
    void Loaded();
    // Whether the desktop has a notification area for the icon; TrayAvailable(true) follows when one
    // appears later, and the icon docks in it.
    bool TrayAvailable() const { return m_shell->Available(); }
    void ShowBalloon(const QString& title, const QString& text) { m_shell->ShowBalloon(title, text); }

    TImageList* IconList() const { return m_iconList; }
    void SetIconList(TImageList* list);
    bool CycleIcons() const { return m_cycleIcons; }
    void SetCycleIcons(bool cycle);
    unsigned CycleInterval() const { return m_cycleInterval; }
    void SetCycleInterval(unsigned ms);
    bool Enabled() const { return m_enabled; }
    void SetEnabled(bool enabled) { m_enabled = enabled; }
    QString Hint() const { return m_hint; }
    void SetHint(const QString& hint);
    bool ShowHint() const { return m_showHint; }
    void SetShowHint(bool show);
    QIcon Icon() const { return m_icon; }
    void SetIcon(const QIcon& icon);
    bool IconVisible() const { return m_iconVisible; }
    void SetIconVisible(bool visible);
    int IconIndex() const { return m_iconIndex; }
    void SetIconIndex(int index);
    TPopupMenu* PopupMenu() const { return m_popupMenu; }
    void SetPopupMenu(TPopupMenu* menu) { m_popupMenu = menu; }
    bool LeftPopup() const { return m_leftPopup; }
    void SetLeftPopup(bool leftPopup) { m_leftPopup = leftPopup; }
    bool StartMinimized() const { return m_startMinimized; }
    void SetStartMinimized(bool startMinimized) { m_startMinimized = startMinimized; }
    bool MinimizeToTray() const { return m_minimizeToTray; }
    void SetMinimizeToTray(bool minimizeToTray) { m_minimizeToTray = minimizeToTray; }

    // What the notification area is given at the next shell call.
    TrayEntry Entry() const;

    // One mouse notification from the icon (a tray_message value); other values are ignored.
    void HandleNotification(unsigned mouseMessage);
    // An activation as Qt reports it, fed in as the notifications it stands for.
    void HandleActivation(QSystemTrayIcon::ActivationReason reason);

    // One step of the icon cycle (what the cycle timer does on each tick).
    void CycleStep();

signals:
    void OnClick(QObject* sender);
    void OnDblClick(QObject* sender);
    void OnMouseDown(QObject* sender, TMouseButton button, TShiftState shift, int x, int y);
    void OnMouseUp(QObject* sender, TMouseButton button, TShiftState shift, int x, int y);
    void OnMouseMove(QObject* sender, TShiftState shift, int x, int y);
    void OnCycle(QObject* sender, int nextIndex);
    void TrayAppeared();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AddEntry();
    void RefreshEntry();
    void RemoveEntry();
    void ShowPopup();
    void MouseDown(TMouseButton button, TShiftFlag buttonFlag);
    void MouseUp(TMouseButton button, TShiftFlag buttonFlag);

    QPointer<QWidget> m_owner;
    std::unique_ptr<TrayShell> m_shell;
    QPointer<TImageList> m_iconList;
    bool m_cycleIcons = false;
    unsigned m_cycleInterval = 0;
    bool m_enabled = true;
    QString m_hint;
    bool m_showHint = false;
    QIcon m_icon;
    bool m_iconVisible = true;
    int m_iconIndex = 0;
    QPointer<TPopupMenu> m_popupMenu;
    bool m_leftPopup = false;
    bool m_startMinimized = false;
    bool m_minimizeToTray = false;
    bool m_clickPending = false;
    QTimer m_cycleTimer;
};

}  // namespace signposter::ui
