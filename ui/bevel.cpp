#include "ui/bevel.h"

#include <QPainter>

namespace signposter::ui {

namespace {

// The classic button shadow and highlight: the window's texture is fixed, so the frame is too.
const QColor kShadow(0x80, 0x80, 0x80);
const QColor kHighlight(0xFF, 0xFF, 0xFF);

}  // namespace

TBevel::TBevel(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void TBevel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int right = width() - 1;
    const int bottom = height() - 1;
    painter.setPen(kShadow);
    painter.drawLine(0, 0, right - 1, 0);
    painter.drawLine(0, 0, 0, bottom - 1);
    painter.setPen(kHighlight);
    painter.drawLine(right, 0, right, bottom);
    painter.drawLine(0, bottom, right, bottom);
}

}  // namespace signposter::ui
