#pragma once

#include <QColor>
#include <QString>

class QWidget;

namespace signposter::ui {

// Right-to-left reading is not used by the program, but the application object carries the setting.
enum class TBiDiMode { bdLeftToRight, bdRightToLeft, bdRightToLeftNoAlign, bdRightToLeftReadingOnly };

// The process-wide application settings that sit above Qt's own application object: the title, whether
// the main window is shown when the message loop starts, and the hint and mouse settings that the
// application-events component copies in. One instance per process.
class TApplication {
public:
    static TApplication& Instance();

    QString Title() const { return m_title; }
    void SetTitle(const QString& title);

    // The tray program sets this to false: it starts with nothing but its tray icon.
    bool ShowMainForm() const { return m_showMainForm; }
    void SetShowMainForm(bool show) { m_showMainForm = show; }

    QColor HintColor() const { return m_hintColor; }
    void SetHintColor(const QColor& color);
    int HintPause() const { return m_hintPause; }
    void SetHintPause(int ms) { m_hintPause = ms; }
    int HintShortPause() const { return m_hintShortPause; }
    void SetHintShortPause(int ms) { m_hintShortPause = ms; }
    int HintHidePause() const { return m_hintHidePause; }
    void SetHintHidePause(int ms) { m_hintHidePause = ms; }
    bool ShowHint() const { return m_showHint; }
    void SetShowHint(bool show) { m_showHint = show; }
    bool HintShortCuts() const { return m_hintShortCuts; }
    void SetHintShortCuts(bool show) { m_hintShortCuts = show; }
    bool UpdateFormatSettings() const { return m_updateFormatSettings; }
    void SetUpdateFormatSettings(bool update) { m_updateFormatSettings = update; }
    bool UpdateMetricSettings() const { return m_updateMetricSettings; }
    void SetUpdateMetricSettings(bool update) { m_updateMetricSettings = update; }
    TBiDiMode BiDiMode() const { return m_biDiMode; }
    void SetBiDiMode(TBiDiMode mode);
    QString BiDiKeyboard() const { return m_biDiKeyboard; }
    void SetBiDiKeyboard(const QString& layout) { m_biDiKeyboard = layout; }
    QString NonBiDiKeyboard() const { return m_nonBiDiKeyboard; }
    void SetNonBiDiKeyboard(const QString& layout) { m_nonBiDiKeyboard = layout; }
    bool MouseDragImmediate() const { return m_mouseDragImmediate; }
    void SetMouseDragImmediate(bool immediate) { m_mouseDragImmediate = immediate; }
    int MouseDragThreshold() const { return m_mouseDragThreshold; }
    void SetMouseDragThreshold(int pixels);

    // Shows `mainForm` unless ShowMainForm is off, then runs the message loop until the program quits.
    int Run(QWidget& mainForm);

private:
    TApplication() = default;

    QString m_title;
    bool m_showMainForm = true;
    QColor m_hintColor;
    int m_hintPause = 500;
    int m_hintShortPause = 50;
    int m_hintHidePause = 2500;
    bool m_showHint = true;
    bool m_hintShortCuts = true;
    bool m_updateFormatSettings = true;
    bool m_updateMetricSettings = true;
    TBiDiMode m_biDiMode = TBiDiMode::bdLeftToRight;
    QString m_biDiKeyboard;
    QString m_nonBiDiKeyboard;
    bool m_mouseDragImmediate = true;
    int m_mouseDragThreshold = 5;
};

}  // namespace signposter::ui
