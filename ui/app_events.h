#pragma once

#include <QColor>
#include <QObject>
#include <QString>

#include "ui/application.h"

namespace signposter::ui {

// Application-wide settings kept on a window as a component. When the window has finished loading,
// Loaded() copies every value into the application object; a setter called later copies its one value at
// once. The event slots are raised for what the window system reports through Qt; the main window assigns
// none of them.
class TAppEvents : public QObject {
    Q_OBJECT
public:
    explicit TAppEvents(QObject* owner = nullptr);

    // End of loading: the values reach the application object.
    void Loaded();

    bool Chained() const { return m_chained; }
    void SetChained(bool chained) { m_chained = chained; }
    QColor HintColor() const { return m_hintColor; }
    void SetHintColor(const QColor& color);
    int HintPause() const { return m_hintPause; }
    void SetHintPause(int ms);
    bool ShowHint() const { return m_showHint; }
    void SetShowHint(bool show);
    bool UpdateFormatSettings() const { return m_updateFormatSettings; }
    void SetUpdateFormatSettings(bool update);
    int HintShortPause() const { return m_hintShortPause; }
    void SetHintShortPause(int ms);
    int HintHidePause() const { return m_hintHidePause; }
    void SetHintHidePause(int ms);
    bool ShowMainForm() const { return m_showMainForm; }
    void SetShowMainForm(bool show);
    bool UpdateMetricSettings() const { return m_updateMetricSettings; }
    void SetUpdateMetricSettings(bool update);
    bool HintShortCuts() const { return m_hintShortCuts; }
    void SetHintShortCuts(bool show);
    TBiDiMode BiDiMode() const { return m_biDiMode; }
    void SetBiDiMode(TBiDiMode mode);
    bool MouseDragImmediate() const { return m_mouseDragImmediate; }
    void SetMouseDragImmediate(bool immediate);
    int MouseDragThreshold() const { return m_mouseDragThreshold; }
    void SetMouseDragThreshold(int pixels);
    QString BiDiKeyboard() const { return m_biDiKeyboard; }
    void SetBiDiKeyboard(const QString& layout);
    QString NonBiDiKeyboard() const { return m_nonBiDiKeyboard; }
    void SetNonBiDiKeyboard(const QString& layout);

signals:
    void OnActionExecute(QObject* sender);
    void OnActionUpdate(QObject* sender);
    void OnShortCut(QObject* sender);
    void OnActivate(QObject* sender);
    void OnDeactivate(QObject* sender);
    void OnException(QObject* sender, const QString& message);
    void OnIdle(QObject* sender);
    void OnHelp(QObject* sender);
    void OnHint(QObject* sender);
    void OnMessage(QObject* sender);
    void OnMinimize(QObject* sender);
    void OnPaintIcon(QObject* sender);
    void OnRestore(QObject* sender);
    void OnShowHint(QObject* sender);
    void OnSettingsChanged(QObject* sender);
    void OnActiveControlChange(QObject* sender);
    void OnActiveFormChange(QObject* sender);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Setters before the end of loading only store: the window's stored values are applied first and
    // copied together afterwards.
    bool m_loaded = false;
    bool m_chained = true;
    QColor m_hintColor;
    int m_hintPause = 500;
    bool m_showHint = true;
    bool m_updateFormatSettings = true;
    int m_hintShortPause = 50;
    int m_hintHidePause = 2500;
    bool m_showMainForm = true;
    bool m_updateMetricSettings = true;
    bool m_hintShortCuts = true;
    TBiDiMode m_biDiMode = TBiDiMode::bdLeftToRight;
    bool m_mouseDragImmediate = true;
    int m_mouseDragThreshold = 5;
    QString m_biDiKeyboard;
    QString m_nonBiDiKeyboard;
};

}  // namespace signposter::ui
