#include "ui/cool_tray_icon.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <climits>

#include "ui/application.h"

namespace signposter::ui {

namespace {

// Qt's system tray as the shell. A session may start its programs before the panel that hosts the tray,
// and some desktops have none at all: the entry is kept and the desktop is asked again now and then until a
// tray appears, which may be much later. Asking is one look at the display's tray selection, so a program
// on a desktop without a tray polls once every few seconds for as long as it runs. Once the icon is in a
// tray, Qt itself puts it back when that tray goes away and comes back (the panel restarts).
class QtTrayShell final : public QObject, public TrayShell {
public:
    QtTrayShell(std::function<void(QSystemTrayIcon::ActivationReason)> activated,
                std::function<void()> appeared)
        : m_sequencer(std::move(activated)), m_appeared(std::move(appeared)) {
        m_available = QSystemTrayIcon::isSystemTrayAvailable();
        connect(&m_retry, &QTimer::timeout, this, [this] { TryShow(); });
        connect(&m_icon, &QSystemTrayIcon::activated, &m_sequencer, &ActivationSequencer::Activated);
    }

    void Add(const TrayEntry& entry) override {
        Modify(entry);
        m_wanted = true;
        m_retry.setInterval(kFirstRetryIntervalMs);
        m_attempts = 0;
        TryShow();
    }

    void Modify(const TrayEntry& entry) override {
        m_icon.setIcon(entry.icon);
        m_icon.setToolTip(entry.tip);
    }

    void Delete() override {
        m_wanted = false;
        m_retry.stop();
        m_icon.hide();
    }

    bool Available() const override { return m_available; }

    void ShowBalloon(const QString& title, const QString& text) override {
        if (m_available && m_icon.isVisible())
            m_icon.showMessage(title, text, QSystemTrayIcon::Warning);
    }

private:
    // Quickly at first, while a session's panel is still starting; then rarely.
    static constexpr int kFirstRetryIntervalMs = 500;
    static constexpr int kFirstRetryAttempts = 20;
    static constexpr int kRetryIntervalMs = 3000;

    void TryShow() {
        if (!m_wanted) {
            return;
        }
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            m_retry.stop();
            m_icon.show();
            if (!m_available) {
                m_available = true;
                if (m_appeared)
                    m_appeared();
            }
            return;
        }
        if (++m_attempts == kFirstRetryAttempts)
            m_retry.setInterval(kRetryIntervalMs);
        if (!m_retry.isActive())
            m_retry.start();
    }

    ActivationSequencer m_sequencer;
    std::function<void()> m_appeared;
    QSystemTrayIcon m_icon;
    QTimer m_retry;
    bool m_wanted = false;
    bool m_available = false;
    int m_attempts = 0;
};

constexpr unsigned kShortestCycleMs = 10;

TShiftState KeyboardShift() {
    const Qt::KeyboardModifiers modifiers = QGuiApplication::queryKeyboardModifiers();
    TShiftState shift = 0;
    if (modifiers & Qt::ShiftModifier) {
        shift |= ssShift;
    }
    if (modifiers & Qt::AltModifier) {
        shift |= ssAlt;
    }
    if (modifiers & Qt::ControlModifier) {
        shift |= ssCtrl;
    }
    return shift;
}

}  // namespace

void ActivationSequencer::Activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        FlushPendingClick();
        m_clickPending = true;
        QTimer::singleShot(0, this, [this] { FlushPendingClick(); });
        return;
    }
    if (reason == QSystemTrayIcon::DoubleClick) {
        m_clickPending = false;
    } else {
        FlushPendingClick();
    }
    m_deliver(reason);
}

void ActivationSequencer::FlushPendingClick() {
    if (m_clickPending) {
        m_clickPending = false;
        m_deliver(QSystemTrayIcon::Trigger);
    }
}

QIcon TImageList::Icon(int index) const {
    if (index < 0 || index >= Count()) {
        return {};
    }
    return m_icons[static_cast<std::size_t>(index)];
}

TCoolTrayIcon::TCoolTrayIcon(QWidget* owner, std::unique_ptr<TrayShell> shell)
    : QObject(owner), m_owner(owner), m_shell(std::move(shell)) {
    if (!m_shell) {
        m_shell = std::make_unique<QtTrayShell>(
            [this](QSystemTrayIcon::ActivationReason reason) { HandleActivation(reason); },
            [this] { emit TrayAppeared(); });
    }
    m_cycleTimer.setInterval(kShortestCycleMs);
    connect(&m_cycleTimer, &QTimer::timeout, this, [this] { CycleStep(); });
    if (m_owner) {
        m_owner->installEventFilter(this);
    }
}

TCoolTrayIcon::~TCoolTrayIcon() {
    RemoveEntry();
}

void TCoolTrayIcon::Loaded() {
    if (m_startMinimized) {
        TApplication::Instance().SetShowMainForm(false);
    }
    RefreshEntry();
    if (m_iconVisible) {
        AddEntry();
    }
}

void TCoolTrayIcon::SetIconList(TImageList* list) {
    m_iconList = list;
    SetIconIndex(0);
}

void TCoolTrayIcon::SetCycleIcons(bool cycle) {
    m_cycleIcons = cycle;
    if (cycle) {
        SetIconIndex(0);
        m_cycleTimer.start();
    } else {
        m_cycleTimer.stop();
    }
}

void TCoolTrayIcon::SetCycleInterval(unsigned ms) {
    m_cycleInterval = ms;
    // A zero period would make Qt fire the timer on every pass of the event loop and keep a processor
    // busy; periods below a few milliseconds are raised to that floor.
    m_cycleTimer.setInterval(static_cast<int>(std::clamp<unsigned>(ms, kShortestCycleMs, INT_MAX)));
}

void TCoolTrayIcon::SetHint(const QString& hint) {
    m_hint = hint;
    RefreshEntry();
}

void TCoolTrayIcon::SetShowHint(bool show) {
    m_showHint = show;
    RefreshEntry();
}

void TCoolTrayIcon::SetIcon(const QIcon& icon) {
    m_icon = icon;
    RefreshEntry();
}

void TCoolTrayIcon::SetIconVisible(bool visible) {
    m_iconVisible = visible;
    if (visible) {
        AddEntry();
    } else {
        RemoveEntry();
    }
}

void TCoolTrayIcon::SetIconIndex(int index) {
    if (m_iconList) {
        // Indexes outside the list would name no image: clamp into it (an empty list keeps 0).
        const int last = m_iconList->Count() - 1;
        m_iconIndex = std::max(0, std::min(index, last));
        if (last >= 0) {
            m_icon = m_iconList->Icon(m_iconIndex);
        }
    } else {
        m_iconIndex = 0;
    }
    RefreshEntry();
}

TrayEntry TCoolTrayIcon::Entry() const {
    TrayEntry entry;
    entry.icon = m_icon;
    if (m_showHint && !m_hint.isEmpty()) {
        entry.tip = m_hint.left(kMaxTipLength);
        // Never leave half of a surrogate pair at the cut.
        if (entry.tip.size() == kMaxTipLength && entry.tip.back().isHighSurrogate()) {
            entry.tip.chop(1);
        }
    }
    return entry;
}

void TCoolTrayIcon::AddEntry() {
    m_shell->Add(Entry());
}

void TCoolTrayIcon::RefreshEntry() {
    m_shell->Modify(Entry());
}

void TCoolTrayIcon::RemoveEntry() {
    m_shell->Delete();
}

void TCoolTrayIcon::CycleStep() {
    if (!m_iconList) {
        return;
    }
    // An empty list has no image to show: the icon stays as it was rather than vanishing from the tray.
    if (m_iconIndex < m_iconList->Count()) {
        m_icon = m_iconList->Icon(m_iconIndex);
    }
    const int next = m_iconIndex + 1 < m_iconList->Count() ? m_iconIndex + 1 : 0;
    emit OnCycle(this, next);
    RefreshEntry();
    SetIconIndex(next);
}

void TCoolTrayIcon::HandleActivation(QSystemTrayIcon::ActivationReason reason) {
    using namespace tray_message;
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            HandleNotification(kLButtonDown);
            HandleNotification(kLButtonUp);
            break;
        case QSystemTrayIcon::DoubleClick:
            HandleNotification(kLButtonDblClk);
            HandleNotification(kLButtonUp);
            break;
        case QSystemTrayIcon::Context:
            HandleNotification(kRButtonDown);
            HandleNotification(kRButtonUp);
            break;
        case QSystemTrayIcon::MiddleClick:
            HandleNotification(kMButtonDown);
            HandleNotification(kMButtonUp);
            break;
        case QSystemTrayIcon::Unknown:
            break;
    }
}

void TCoolTrayIcon::MouseDown(TMouseButton button, TShiftFlag buttonFlag) {
    const QPoint pos = QCursor::pos();
    emit OnMouseDown(this, button, KeyboardShift() | buttonFlag, pos.x(), pos.y());
}

void TCoolTrayIcon::MouseUp(TMouseButton button, TShiftFlag buttonFlag) {
    const QPoint pos = QCursor::pos();
    emit OnMouseUp(this, button, KeyboardShift() | buttonFlag, pos.x(), pos.y());
}

void TCoolTrayIcon::HandleNotification(unsigned mouseMessage) {
    using namespace tray_message;
    if (!m_enabled) {
        return;
    }
    switch (mouseMessage) {
        case kMouseMove: {
            const QPoint pos = QCursor::pos();
            emit OnMouseMove(this, KeyboardShift(), pos.x(), pos.y());
            break;
        }
        case kLButtonDown:
            MouseDown(TMouseButton::mbLeft, ssLeft);
            m_clickPending = true;
            if (m_leftPopup) {
                ShowPopup();
            }
            break;
        case kLButtonUp:
            // Only a press that began on the icon makes a click; a drag released over it does not.
            if (m_clickPending) {
                m_clickPending = false;
                emit OnClick(this);
            }
            MouseUp(TMouseButton::mbLeft, ssLeft);
            break;
        case kLButtonDblClk:
            emit OnDblClick(this);
            if (m_popupMenu && m_popupMenu->AutoPopup() && !m_leftPopup) {
                if (QAction* action = m_popupMenu->defaultAction()) {
                    action->trigger();
                }
            }
            break;
        case kRButtonDown:
            MouseDown(TMouseButton::mbRight, ssRight);
            ShowPopup();
            break;
        case kRButtonUp:
            MouseUp(TMouseButton::mbRight, ssRight);
            break;
        case kMButtonDown:
            MouseDown(TMouseButton::mbMiddle, ssMiddle);
            break;
        case kMButtonUp:
            MouseUp(TMouseButton::mbMiddle, ssMiddle);
            break;
        default:
            break;
    }
}

void TCoolTrayIcon::ShowPopup() {
    if (!m_popupMenu || !m_popupMenu->AutoPopup()) {
        return;
    }
    const QPoint pos = QCursor::pos();
    // Let pending work finish first, so the menu does not open over a window about to change.
    QCoreApplication::processEvents();
    if (!m_popupMenu) {
        return;
    }
    if (m_owner && m_owner->isVisible()) {
        m_owner->activateWindow();
    }
    m_popupMenu->SetPopupComponent(this);
    m_popupMenu->popup(pos);
}

bool TCoolTrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_owner) {
        switch (event->type()) {
            case QEvent::Show:
                // A show asked for by the program (not one the window manager reports) also restores a
                // minimised window and brings it to the front.
                if (!event->spontaneous()) {
                    m_owner->setWindowState(m_owner->windowState() & ~Qt::WindowMinimized);
                    m_owner->raise();
                    m_owner->activateWindow();
                }
                break;
            case QEvent::WindowStateChange:
                if (m_minimizeToTray && (m_owner->windowState() & Qt::WindowMinimized)) {
                    // Hide only after the window system has finished the minimise.
                    QTimer::singleShot(0, this, [this] {
                        if (m_owner && (m_owner->windowState() & Qt::WindowMinimized)) {
                            m_owner->hide();
                            SetIconVisible(true);
                        }
                    });
                }
                break;
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace signposter::ui
