#include "ui/controls/lb_background.h"

#include <QEvent>
#include <QPainter>

namespace signposter::ui {

TLbBackground::TLbBackground(QWidget* owner) : QObject(owner), m_owner(owner) {
    // An event filter runs after the owner's background erase and before its own paintEvent and its
    // children, which is exactly where the tiles belong; the owner's painting still follows.
    if (m_owner != nullptr) {
        m_owner->installEventFilter(this);
    }
}

TLbBackground::~TLbBackground() {
    if (m_owner != nullptr) {
        m_owner->removeEventFilter(this);
    }
}

void TLbBackground::SetEnabled(bool enabled) {
    m_enabled = enabled;
    if (m_owner != nullptr) {
        m_owner->update();
    }
}

void TLbBackground::SetImage(const QImage& image) {
    m_image = image.copy();
    if (m_owner != nullptr) {
        m_owner->update();
    }
}

bool TLbBackground::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_owner && event->type() == QEvent::Paint) {
        Tile();
    }
    return false;
}

void TLbBackground::Tile() {
    if (!m_enabled || m_image.isNull() || m_image.width() == 0 || m_image.height() == 0) {
        return;
    }
    const int w = m_image.width();
    const int h = m_image.height();
    // The outer size includes the frame and title bar, so the tiles cover more than the client area;
    // the painter clips the surplus.
    const QSize outer = m_owner->frameGeometry().size();
    const int columns = outer.width() / w + 2;
    const int rows = outer.height() / h + 2;
    // Begun on the owner, the painter follows any redirection of this paint, such as a child rendering
    // the owner into its own surface with an offset.
    QPainter painter(m_owner);
    for (int column = 0; column < columns; ++column) {
        for (int row = 0; row < rows; ++row) {
            painter.drawImage(QRect(column * w, row * h, w, h), m_image);
        }
    }
}

}  // namespace signposter::ui
