#include "ui/controls/vel_color_button.h"

#include <QEnterEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>

namespace signposter::ui {
namespace {

const QColor kFrameGrey(0x80, 0x80, 0x80);
const QColor kFrameWhite(0xFF, 0xFF, 0xFF);

// Single-line captions are placed by hand rather than by Qt's alignment flags so that the integer
// rounding of the centring is fixed: half the spare room, rounded down, goes to the left and top.
int AlignedLeft(const QRect& rect, int textWidth, TAlignment alignment) {
    switch (alignment) {
        case taLeftJustify:
            return rect.left();
        case taRightJustify:
            return rect.left() + rect.width() - textWidth;
        case taCenter:
        default:
            return rect.left() + (rect.width() - textWidth) / 2;
    }
}

// The caption as shown: "&x" underlines x and takes no room, "&&" is one ampersand.
QString ShownText(const QString& caption) {
    QString shown;
    shown.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&')) {
            if (i + 1 >= caption.size()) {
                break;
            }
            ++i;
        }
        shown.append(caption[i]);
    }
    return shown;
}

Qt::Alignment QtHorizontal(TAlignment alignment) {
    switch (alignment) {
        case taLeftJustify:
            return Qt::AlignLeft;
        case taRightJustify:
            return Qt::AlignRight;
        case taCenter:
        default:
            return Qt::AlignHCenter;
    }
}

}  // namespace

TvelColorButton::TvelColorButton(QWidget* parent) : QWidget(parent) {
    // Drawn on its parent's surface in spirit: it takes no focus and is no tab stop.
    setFocusPolicy(Qt::NoFocus);
    resize(24, 24);
}

TvelColorButton::~TvelColorButton() = default;

void TvelColorButton::SetCaption(const QString& caption) {
    if (caption == m_caption) {
        return;
    }
    m_caption = caption;
    GrowToFit();
    update();
}

void TvelColorButton::SetHint(const QString& hint) {
    m_hint = hint;
    setToolTip(m_showHint ? m_hint : QString());
}

void TvelColorButton::SetShowHint(bool show) {
    m_showHint = show;
    setToolTip(m_showHint ? m_hint : QString());
}

void TvelColorButton::SetAlignment(TAlignment alignment) {
    if (alignment != m_alignment) {
        m_alignment = alignment;
        update();
    }
}

void TvelColorButton::SetBackBitmap(const QImage& bitmap) {
    // QImage shares its pixels until written; a deep copy keeps the button independent of the caller.
    m_backBitmap = bitmap.copy();
    update();
}

void TvelColorButton::SetWordWrap(bool wordWrap) {
    if (wordWrap != m_wordWrap) {
        m_wordWrap = wordWrap;
        GrowToFit();
        update();
    }
}

void TvelColorButton::SetDown(bool down) {
    if (down != m_down) {
        m_down = down;
        update();
    }
}

void TvelColorButton::SetFlat(bool flat) {
    if (flat != m_flat) {
        m_flat = flat;
        update();
    }
}

void TvelColorButton::SetMarginHorizontal(int margin) {
    if (margin != m_marginHorizontal) {
        m_marginHorizontal = margin;
        GrowToFit();
        update();
    }
}

void TvelColorButton::SetMarginVertical(int margin) {
    if (margin != m_marginVertical) {
        m_marginVertical = margin;
        GrowToFit();
        update();
    }
}

void TvelColorButton::SetColor(const QColor& color) {
    if (color != m_color) {
        m_color = color;
        update();
    }
}

QColor TvelColorButton::FontColor() const {
    return palette().color(QPalette::Active, QPalette::WindowText);
}

void TvelColorButton::SetFontColor(const QColor& color) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, color);
    setPalette(p);
    update();
}

void TvelColorButton::GrowToFit() {
    const QFontMetrics metrics(font());
    int needWidth = width();
    int needHeight = height();
    if (!m_wordWrap) {
        const int textWidth = metrics.horizontalAdvance(ShownText(m_caption));
        needWidth = std::max(needWidth, textWidth + 2 * m_marginHorizontal);
        needHeight = std::max(needHeight, metrics.height() + 2 * m_marginVertical);
    } else {
        const int wrapWidth = std::max(0, width() - 2 * m_marginHorizontal);
        const QRect measured = metrics.boundingRect(
            QRect(0, 0, wrapWidth, 1 << 20),
            Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextShowMnemonic, m_caption);
        needHeight = std::max(needHeight, measured.height() + m_marginVertical + 1);
    }
    if (needWidth != width() || needHeight != height()) {
        resize(needWidth, needHeight);
    }
}

void TvelColorButton::paintEvent(QPaintEvent*) {
    GrowToFit();
    const int w = width();
    const int h = height();

    QRect captionRect = m_wordWrap
                            ? QRect(QPoint(m_marginHorizontal, m_marginVertical),
                                    QPoint(w - m_marginHorizontal - 1, h - m_marginVertical - 1))
                            : QRect(QPoint(m_marginHorizontal, 0), QPoint(w - m_marginHorizontal - 1, h - 1));
    const bool pressedLook = m_pressed || m_down;
    if (pressedLook) {
        captionRect.translate(1, 1);
    }

    enum { kNone, kRaised, kSunken } frame;
    QColor background;
    QColor captionColor;
    if (pressedLook) {
        background = m_downColor;
        frame = kSunken;
        captionColor = m_downFontColor;
    } else if (m_hot && m_hotTrack) {
        background = m_hotColor;
        frame = kRaised;
        captionColor = m_hotFontColor;
    } else if (!m_hot && m_flat) {
        background = m_color;
        frame = kNone;
        captionColor = FontColor();
    } else {
        background = m_color;
        frame = kRaised;
        captionColor = FontColor();
    }

    QPainter painter(this);
    if (!m_backBitmap.isNull() && m_backBitmap.width() > 0 && m_backBitmap.height() > 0) {
        for (int y = 0; y < h; y += m_backBitmap.height()) {
            for (int x = 0; x < w; x += m_backBitmap.width()) {
                painter.drawImage(x, y, m_backBitmap);
            }
        }
    } else {
        painter.fillRect(rect(), background);
    }

    if (frame != kNone && w > 0 && h > 0) {
        const QColor first = frame == kRaised ? kFrameWhite : kFrameGrey;
        const QColor second = frame == kRaised ? kFrameGrey : kFrameWhite;
        // One path around the edge, each segment without its end point: top edge from the right and the
        // left edge down in the first colour, bottom edge and right edge up in the second.
        painter.fillRect(QRect(1, 0, w - 1, 1), first);
        painter.fillRect(QRect(0, 0, 1, h - 1), first);
        painter.fillRect(QRect(0, h - 1, w - 1, 1), second);
        painter.fillRect(QRect(w - 1, 1, 1, h - 1), second);
    }

    painter.setPen(captionColor);
    painter.setFont(font());
    const QFontMetrics metrics(font());
    if (!m_wordWrap) {
        const int textWidth = metrics.horizontalAdvance(ShownText(m_caption));
        const int textHeight = metrics.height();
        const int left = AlignedLeft(captionRect, textWidth, m_alignment);
        const int top = captionRect.top() + (captionRect.height() - textHeight) / 2;
        painter.setClipRect(captionRect);
        painter.drawText(QRect(left, top, textWidth, textHeight),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextShowMnemonic, m_caption);
    } else {
        painter.setClipRect(captionRect);
        painter.drawText(captionRect,
                         QtHorizontal(m_alignment) | Qt::AlignTop | Qt::TextWordWrap | Qt::TextShowMnemonic,
                         m_caption);
    }
}

void TvelColorButton::mousePressEvent(QMouseEvent* event) {
    m_pressed = true;
    if (event->button() == Qt::LeftButton) {
        m_leftPressed = true;
    }
    repaint();
}

void TvelColorButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click is a press like any other.
    mousePressEvent(event);
}

void TvelColorButton::mouseReleaseEvent(QMouseEvent* event) {
    const bool over = rect().contains(event->position().toPoint());
    if (event->button() == Qt::LeftButton) {
        const bool click = m_leftPressed && m_pressed && over;
        m_leftPressed = false;
        if (click) {
            // Raised while the button is still drawn pressed: a long command shows it held down.
            QPointer<TvelColorButton> self(this);
            emit onclick();
            if (self.isNull()) {
                return;
            }
        }
        if (m_latching) {
            m_down = !m_down;
        }
    } else if (over && m_latching) {
        m_down = !m_down;
    }
    // Qt delivers every release to the widget that saw the press, even outside it; clearing the
    // pressed flag on all of them keeps a right press released elsewhere from leaving the button stuck
    // in its pressed look.
    m_pressed = false;
    repaint();
}

void TvelColorButton::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    if (!isEnabled()) {
        return;
    }
    m_hot = true;
    repaint();
}

void TvelColorButton::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    if (!isEnabled() && !m_hot) {
        return;
    }
    m_hot = false;
    repaint();
}

void TvelColorButton::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        GrowToFit();
        update();
    }
}

}  // namespace signposter::ui
