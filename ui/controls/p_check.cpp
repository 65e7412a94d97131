#include "ui/controls/p_check.h"

#include "ui/controls/control_resources.h"
#include "ui/sound.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QShortcut>

#include <array>
#include <map>
#include <string>

namespace signposter::ui {
namespace {

// Images are looked up by name like any other resource; the decoded pictures are kept for the life of
// the program because every paint needs them.
const QImage& CachedImage(const char* name) {
    static std::map<std::string, QImage> cache;
    auto found = cache.find(name);
    if (found == cache.end()) {
        found = cache.emplace(name, LoadTransparentBitmap(QString::fromLatin1(name))).first;
    }
    return found->second;
}

const char* MarkImageName(TImageType type) {
    static constexpr std::array<const char*, 7> kNames = {"CheckIks",  "CheckOk",  "CHECKELLI", "CHECKEIKSB",
                                                          "CHECKIKSG", "CHECKOKG", "CheckOkR"};
    const auto index = static_cast<std::size_t>(type);
    return index < kNames.size() ? kNames[index] : kNames[0];
}

// The hover pattern: a checkerboard, set where row and column are both even or both odd. The bits are
// made once and shared by every check box; they are coloured for each paint (set bits in the highlight
// colour, the rest in the control's colour). Kept as an image: pixmaps must not outlive the application.
const QImage& HoverBits() {
    static const QImage bits = [] {
        QImage image(8, 8, QImage::Format_Mono);
        image.setColorCount(2);
        image.setColor(0, qRgb(0, 0, 0));
        image.setColor(1, qRgb(255, 255, 255));
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) {
                image.setPixel(x, y, (x % 2) == (y % 2) ? 1 : 0);
            }
        }
        return image;
    }();
    return bits;
}

QImage HoverPattern(const QColor& background, const QColor& highlight) {
    QImage pattern = HoverBits().copy();
    pattern.setColor(0, background.rgb());
    pattern.setColor(1, highlight.rgb());
    return pattern.convertToFormat(QImage::Format_RGB32);
}

void PlayClick() {
    static const QByteArray sound = ClickSound();
    PlayWaveSync(sound.constData(), std::size_t(sound.size()));
}

TPCustomCheck::SoundPlayer& Player() {
    static TPCustomCheck::SoundPlayer player;
    return player;
}

}  // namespace

TPCustomCheck::TPCustomCheck(QWidget* parent) : QWidget(parent) {
    // Tab stop; the focus from the mouse is taken by hand on a left press only, so a right click leaves
    // the focus where it was.
    setFocusPolicy(Qt::TabFocus);
    resize(97, 19);
}

TPCustomCheck::~TPCustomCheck() = default;

void TPCustomCheck::SetSoundPlayer(SoundPlayer player) {
    Player() = std::move(player);
}

void TPCustomCheck::SetChecked(bool checked) {
    if (checked != m_checked) {
        m_checked = checked;
        update();
    }
}

void TPCustomCheck::SetCaption(const QString& caption) {
    if (caption != m_caption) {
        m_caption = caption;
        UpdateAccelerator();
        update();
    }
}

void TPCustomCheck::SetTransparent(bool transparent) {
    if (transparent != m_transparent) {
        m_transparent = transparent;
        repaint();
    }
}

void TPCustomCheck::SetFlat(bool flat) {
    if (flat != m_flat) {
        m_flat = flat;
        repaint();
    }
}

void TPCustomCheck::SetAlingment(TAlignment alignment) {
    if (alignment != m_alignment) {
        m_alignment = alignment;
        repaint();
    }
}

void TPCustomCheck::SetImageType(TImageType imageType) {
    if (imageType != m_imageType) {
        m_imageType = imageType;
        repaint();
    }
}

void TPCustomCheck::SetStyle(TPCheckStyle style) {
    if (style != m_style) {
        m_style = style;
        update();
    }
}

void TPCustomCheck::SetColorSipleMargine(const QColor& color) {
    if (color != m_simpleMarginColor) {
        m_simpleMarginColor = color;
        repaint();
    }
}

QColor TPCustomCheck::Color() const {
    return palette().color(QPalette::Active, QPalette::Window);
}

void TPCustomCheck::SetColor(const QColor& color) {
    QPalette p = palette();
    p.setColor(QPalette::Window, color);
    setPalette(p);
}

QColor TPCustomCheck::FontColor() const {
    return palette().color(QPalette::Active, QPalette::WindowText);
}

void TPCustomCheck::SetFontColor(const QColor& color) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, color);
    setPalette(p);
}

void TPCustomCheck::SetHint(const QString& hint) {
    m_hint = hint;
    ApplyToolTip();
}

void TPCustomCheck::SetHintSecondLine(const QString& line) {
    m_hintSecondLine = line;
    if (!m_hint.isEmpty() && !line.isEmpty()) {
        m_hint += QLatin1Char('\r') + line;
    }
    ApplyToolTip();
}

void TPCustomCheck::ApplyToolTip() {
    // Hint lines are separated by carriage returns; Qt's tooltips break lines at line feeds.
    QString shown = m_hint;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    setToolTip(shown);
}

void TPCustomCheck::UpdateAccelerator() {
    const QKeySequence key = QKeySequence::mnemonic(m_caption);
    if (key.isEmpty()) {
        delete m_accelerator;
        m_accelerator = nullptr;
        return;
    }
    if (m_accelerator == nullptr) {
        m_accelerator = new QShortcut(this);
        m_accelerator->setContext(Qt::WindowShortcut);
        connect(m_accelerator, &QShortcut::activated, this, [this] { Accelerator(); });
    }
    // With Alt, or alone as a dialog character: a field that takes text claims plain letters first
    // (it accepts the shortcut override), so typing into an edit never reaches this.
    const QKeySequence plain(key[0].key());
    m_accelerator->setKeys({key, plain});
}

void TPCustomCheck::Accelerator() {
    if (!isEnabled() || !isVisible()) {
        return;
    }
    // The handler sees the state before the toggle, and the toggle is a program's write: no sound.
    QPointer<TPCustomCheck> self(this);
    emit OnClick();
    if (self.isNull()) {
        return;
    }
    setFocus(Qt::ShortcutFocusReason);
    SetChecked(!m_checked);
}

void TPCustomCheck::ToggleByMouse(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    m_checked = !m_checked;
    repaint();
    if (m_playMusic) {
        // Synchronous on purpose: the interface pauses for the length of the click.
        if (Player()) {
            Player()();
        } else {
            PlayClick();
        }
    }
    emit OnMouseDown(event->button(), event->modifiers(), event->position().toPoint());
}

void TPCustomCheck::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    m_leftPressed = true;
    ToggleByMouse(event);
}

void TPCustomCheck::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    // The second press of a double click toggles again and clicks at once; its release raises nothing.
    m_leftPressed = false;
    QPointer<TPCustomCheck> self(this);
    ToggleByMouse(event);
    if (!self.isNull()) {
        emit OnClick();
    }
}

void TPCustomCheck::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_leftPressed) {
        return;
    }
    m_leftPressed = false;
    if (rect().contains(event->position().toPoint())) {
        emit OnClick();
    }
}

void TPCustomCheck::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QPointer<TPCustomCheck> self(this);
        emit OnClick();
        if (self.isNull()) {
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void TPCustomCheck::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    if (!isEnabled()) {
        return;
    }
    if (m_hotTrack) {
        m_hot = true;
        repaint();
    }
    if (m_showHandCursor) {
        setCursor(HandCursor());
    }
    emit OnMouseEnter();
}

void TPCustomCheck::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    if (!isEnabled()) {
        return;
    }
    if (m_hotTrack) {
        m_hot = false;
        repaint();
    }
    if (m_showHandCursor) {
        unsetCursor();
    }
    emit OnMouseExit();
}

void TPCustomCheck::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    repaint();
}

void TPCustomCheck::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    repaint();
}

void TPCustomCheck::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    switch (event->type()) {
        case QEvent::EnabledChange:
            if (!isEnabled()) {
                // A control disabled under the pointer gets no leave notice; drop the hover look and
                // the hand now so that it never shows on a disabled control.
                m_hot = false;
                m_leftPressed = false;
                unsetCursor();
            }
            update();
            break;
        case QEvent::FontChange:
        case QEvent::PaletteChange:
            update();
            break;
        default:
            break;
    }
}

void TPCustomCheck::RenderWindowlessSiblings(QImage& beneath, const QRect& source) const {
    // Labels, bevels and colour buttons have no window of their own (none of them takes the focus): they
    // are part of the parent's painting and so show through too. Other check boxes are windows, and
    // rendering them here could recurse into this paint.
    QPainter into(&beneath);
    for (QObject* child : parentWidget()->children()) {
        auto* sibling = qobject_cast<QWidget*>(child);
        if (sibling == nullptr || sibling == this || sibling->isWindow() || sibling->isHidden() ||
            sibling->focusPolicy() != Qt::NoFocus || qobject_cast<TPCustomCheck*>(sibling) != nullptr) {
            continue;
        }
        const QRect overlap = sibling->geometry() & source;
        if (!overlap.isEmpty()) {
            sibling->render(&into, sibling->pos() - source.topLeft(),
                            QRegion(overlap.translated(-sibling->pos())), QWidget::DrawChildren);
        }
    }
}

void TPCustomCheck::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& pal = palette();
    const QColor shadow = pal.color(QPalette::Active, QPalette::Dark);
    const QColor highlight = pal.color(QPalette::Active, QPalette::Light);

    QRect paintRect = rect();
    if (m_style != bmNone && width() > 0 && height() > 0) {
        QColor topLeft;
        QColor bottomRight;
        switch (m_style) {
            case bmLowered:
                topLeft = shadow;
                bottomRight = highlight;
                break;
            case bmRaised:
                topLeft = highlight;
                bottomRight = shadow;
                break;
            default:
                topLeft = bottomRight = m_simpleMarginColor;
                break;
        }
        const int w = width();
        const int h = height();
        painter.fillRect(QRect(0, 0, w - 1, 1), topLeft);
        painter.fillRect(QRect(0, 0, 1, h - 1), topLeft);
        painter.fillRect(QRect(0, h - 1, w, 1), bottomRight);
        painter.fillRect(QRect(w - 1, 0, 1, h), bottomRight);
        paintRect.adjust(1, 1, -1, -1);
    }

    if (m_hot) {
        painter.setBrushOrigin(0, 0);
        painter.fillRect(paintRect, QBrush(HoverPattern(Color(), highlight)));
    } else {
        painter.fillRect(paintRect, Color());
    }

    if (m_transparent && parentWidget() != nullptr) {
        // The parent paints itself (its background, its painting hooks such as a tiled texture, but
        // not its child widgets) into this control, shifted so that exactly the part beneath shows.
        // It paints into an image of its own first: rendering straight into this paint's painter
        // depends on how the paint was started (screen or grab) and misplaces it in one of them.
        QWidget* parent = parentWidget();
        const QRect source = geometry() & parent->rect();
        if (!source.isEmpty()) {
            QImage beneath(source.size(), QImage::Format_ARGB32_Premultiplied);
            beneath.fill(Qt::transparent);
            parent->render(&beneath, QPoint(0, 0), QRegion(source), QWidget::DrawWindowBackground);
            RenderWindowlessSiblings(beneath, source);
            painter.drawImage(source.topLeft() - pos(), beneath);
        }
    }

    painter.setFont(font());
    const QFontMetrics metrics(font());
    const int textHeight = metrics.height();
    const int textWidth = metrics.horizontalAdvance(m_caption);
    const int top = paintRect.top() + (paintRect.height() - textHeight) / 2;
    const int left = paintRect.left() + (m_alignment == taLeftJustify ? 2 : 22);

    if (m_showFocused && hasFocus()) {
        const int ampersand =
            m_caption.contains(QLatin1Char('&')) ? metrics.horizontalAdvance(QLatin1Char('&')) : 0;
        // Corners exclusive on the right and bottom, like every rectangle of this drawing.
        const QRect focus(QPoint(left - 1, top - 1),
                          QPoint(left + textWidth - ampersand + 4 - 1, top + textHeight));
        painter.save();
        painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        const QColor invert(255, 255, 255);
        auto dot = [&](int x, int y) {
            if (((x + y) & 1) == 0) {
                painter.fillRect(QRect(x, y, 1, 1), invert);
            }
        };
        for (int x = focus.left(); x <= focus.right(); ++x) {
            dot(x, focus.top());
            if (focus.bottom() != focus.top()) {
                dot(x, focus.bottom());
            }
        }
        for (int y = focus.top() + 1; y < focus.bottom(); ++y) {
            dot(focus.left(), y);
            if (focus.right() != focus.left()) {
                dot(focus.right(), y);
            }
        }
        painter.restore();
    }

    m_captionRect = QRect(left, top, textWidth, textHeight);
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextShowMnemonic;
    if (isEnabled()) {
        painter.setPen(m_hot && m_hotTrack ? QColor(0, 0, 255) : FontColor());
        painter.drawText(m_captionRect, flags, m_caption);
    } else {
        painter.setPen(highlight);
        painter.drawText(m_captionRect.translated(1, 1), flags, m_caption);
        painter.setPen(shadow);
        painter.drawText(m_captionRect, flags, m_caption);
    }

    const int boxX =
        m_alignment == taLeftJustify ? paintRect.left() + paintRect.width() - 18 : paintRect.left() + 2;
    const int boxY = paintRect.top() + (paintRect.height() - 16) / 2;
    const char* box =
        m_flat ? (isEnabled() ? "BlankFlat" : "EnabledFlat") : (isEnabled() ? "Blank" : "Enabled");
    painter.drawImage(boxX, boxY, CachedImage(box));
    if (m_checked) {
        painter.drawImage(boxX, boxY, CachedImage(MarkImageName(m_imageType)));
    }
}

}  // namespace signposter::ui
