#pragma once

#include "ui/controls/control_types.h"

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>

class QShortcut;

// A check box drawn from small bitmaps: a box image, a mark image laid over it when checked, and the
// caption beside it. It toggles on the left press (with a short click sound), highlights its caption
// while the pointer is over it, shows a hand cursor and can show the window's painting through itself.
//
// Events (Qt signals; QObject::sender() is the sender):
//   OnClick()      - a left press released over the control, Enter while focused, the caption's
//                    accelerator, and once more for the second press of a double click. On a press the
//                    state has already changed when OnClick arrives.
//   OnMouseDown(button, modifiers, position) - after the toggle and the sound; left button only.
//   OnMouseEnter(), OnMouseExit() - pointer entered or left an enabled control.
// Writing `Checked` from code (SetChecked) stores the state and repaints later; it emits nothing and
// plays no sound.
namespace signposter::ui {

enum TImageType { igCrossRed, igHookBlue, igCirce, igCrossBlue, igCrossGreen, igHookLime, igHookRed };
// Frame around the whole control.
enum TPCheckStyle { bmNone, bmLowered, bmRaised, bmSimple };

class TPCustomCheck : public QWidget {
    Q_OBJECT

public:
    explicit TPCustomCheck(QWidget* parent = nullptr);
    ~TPCustomCheck() override;

    bool Checked() const { return m_checked; }
    void SetChecked(bool checked);
    QString Caption() const { return m_caption; }
    void SetCaption(const QString& caption);

    bool Transparent() const { return m_transparent; }
    void SetTransparent(bool transparent);
    bool ShowFocused() const { return m_showFocused; }
    void SetShowFocused(bool showFocused) { m_showFocused = showFocused; }
    bool Flat() const { return m_flat; }
    void SetFlat(bool flat);
    bool HotTrack() const { return m_hotTrack; }
    void SetHotTrack(bool hotTrack) { m_hotTrack = hotTrack; }
    // taRightJustify: box at the left, caption to its right; taLeftJustify: caption at the left, box at
    // the right edge.
    TAlignment Alingment() const { return m_alignment; }
    void SetAlingment(TAlignment alignment);
    TImageType ImageType() const { return m_imageType; }
    void SetImageType(TImageType imageType);
    bool ShowHandCursor() const { return m_showHandCursor; }
    void SetShowHandCursor(bool show) { m_showHandCursor = show; }
    bool PlayMusic() const { return m_playMusic; }
    void SetPlayMusic(bool play) { m_playMusic = play; }
    TPCheckStyle Style() const { return m_style; }
    void SetStyle(TPCheckStyle style);
    QColor ColorSipleMargine() const { return m_simpleMarginColor; }
    void SetColorSipleMargine(const QColor& color);
    // Background colour; follows the parent's colour until set.
    QColor Color() const;
    void SetColor(const QColor& color);
    // Caption colour of the normal look (the font's colour).
    QColor FontColor() const;
    void SetFontColor(const QColor& color);
    // Tooltip text. Lines are separated by a carriage return, as HintSecondLine adds them.
    QString Hint() const { return m_hint; }
    void SetHint(const QString& hint);
    QString HintSecondLine() const { return m_hintSecondLine; }
    void SetHintSecondLine(const QString& line);

    // The hot flag: pointer over an enabled control while HotTrack is on.
    bool IsHot() const { return m_hot; }
    // Caption rectangle of the last paint, in the control's coordinates.
    QRect CaptionRect() const { return m_captionRect; }

    // Plays the click sound. Tests replace it to count clicks without touching a sound device; an empty
    // function restores the real player. Shared by every check box.
    using SoundPlayer = std::function<void()>;
    static void SetSoundPlayer(SoundPlayer player);

signals:
    void OnClick();
    void OnMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint position);
    void OnMouseEnter();
    void OnMouseExit();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ToggleByMouse(QMouseEvent* event);
    void Accelerator();
    void UpdateAccelerator();
    void ApplyToolTip();
    // Adds the parent's window-less children beneath the control to `beneath`, which shows the parent's
    // area `source`.
    void RenderWindowlessSiblings(QImage& beneath, const QRect& source) const;

    bool m_checked = false;
    QString m_caption;
    bool m_transparent = false;
    bool m_showFocused = true;
    bool m_flat = false;
    bool m_hotTrack = true;
    TAlignment m_alignment = taRightJustify;
    TImageType m_imageType = igCrossRed;
    bool m_showHandCursor = true;
    bool m_playMusic = true;
    TPCheckStyle m_style = bmNone;
    QColor m_simpleMarginColor{0, 0, 255};
    QString m_hint;
    QString m_hintSecondLine;
    bool m_hot = false;
    bool m_leftPressed = false;
    QRect m_captionRect;
    QShortcut* m_accelerator = nullptr;
};

// The published form of the check box; the main window's options are of this class.
class TPCheck : public TPCustomCheck {
    Q_OBJECT

public:
    explicit TPCheck(QWidget* parent = nullptr) : TPCustomCheck(parent) {}
};

}  // namespace signposter::ui
