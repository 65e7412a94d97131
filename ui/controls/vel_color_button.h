#pragma once

#include "ui/controls/control_types.h"

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

// A light-weight push button that draws itself completely: caption over a plain colour or a tiled
// bitmap, hot-tracking and a pressed look. It never takes the keyboard focus and is no tab stop.
//
// Events: the signal `onclick()` is the click event (a left press on the button released over it). It
// is emitted while the button is still drawn pressed, so a long-running handler (a blocking upload)
// keeps the pressed look on screen until it returns. Use QObject::sender() for the sender.
namespace signposter::ui {

class TvelColorButton : public QWidget {
    Q_OBJECT

public:
    explicit TvelColorButton(QWidget* parent = nullptr);
    ~TvelColorButton() override;

    QString Caption() const { return m_caption; }
    void SetCaption(const QString& caption);
    QString Hint() const { return m_hint; }
    void SetHint(const QString& hint);
    // Whether Hint shows as a tooltip.
    bool ShowHint() const { return m_showHint; }
    void SetShowHint(bool show);

    TAlignment Alignment() const { return m_alignment; }
    void SetAlignment(TAlignment alignment);
    // An empty image means "no bitmap": the state colours fill the button.
    const QImage& BackBitmap() const { return m_backBitmap; }
    void SetBackBitmap(const QImage& bitmap);
    bool WordWrap() const { return m_wordWrap; }
    void SetWordWrap(bool wordWrap);
    bool Latching() const { return m_latching; }
    void SetLatching(bool latching) { m_latching = latching; }
    bool Down() const { return m_down; }
    void SetDown(bool down);
    bool Flat() const { return m_flat; }
    void SetFlat(bool flat);
    int MarginHorizontal() const { return m_marginHorizontal; }
    void SetMarginHorizontal(int margin);
    int MarginVertical() const { return m_marginVertical; }
    void SetMarginVertical(int margin);
    QColor Color() const { return m_color; }
    void SetColor(const QColor& color);
    bool HotTrack() const { return m_hotTrack; }
    void SetHotTrack(bool hotTrack) { m_hotTrack = hotTrack; }
    QColor HotColor() const { return m_hotColor; }
    void SetHotColor(const QColor& color) { m_hotColor = color; }
    QColor DownColor() const { return m_downColor; }
    void SetDownColor(const QColor& color) { m_downColor = color; }
    QColor HotFontColor() const { return m_hotFontColor; }
    void SetHotFontColor(const QColor& color) { m_hotFontColor = color; }
    QColor DownFontColor() const { return m_downFontColor; }
    void SetDownFontColor(const QColor& color) { m_downFontColor = color; }
    // The caption colour of the normal look: the font's colour (the palette's window text).
    QColor FontColor() const;
    void SetFontColor(const QColor& color);

    // For tests and the window: the private flags that choose the look.
    bool IsPressed() const { return m_pressed; }
    bool IsHot() const { return m_hot; }

signals:
    void onclick();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void GrowToFit();

    QString m_caption;
    QString m_hint;
    bool m_showHint = true;
    TAlignment m_alignment = taCenter;
    QImage m_backBitmap;
    bool m_wordWrap = false;
    bool m_latching = false;
    bool m_down = false;
    bool m_flat = true;
    int m_marginHorizontal = 8;
    int m_marginVertical = 4;
    QColor m_color{0xC0, 0xC0, 0xC0};
    bool m_hotTrack = true;
    QColor m_hotColor{255, 255, 0};
    QColor m_downColor{169, 169, 169};
    QColor m_hotFontColor{255, 0, 0};
    QColor m_downFontColor{0, 0, 0};
    bool m_pressed = false;
    bool m_hot = false;
    // Set by a left press on the button; only such a press may end in `onclick`.
    bool m_leftPressed = false;
};

}  // namespace signposter::ui
