#include "ui/application.h"

#include <QApplication>
#include <QPalette>
#include <QToolTip>
#include <QWidget>

namespace signposter::ui {

TApplication& TApplication::Instance() {
    static TApplication application;
    return application;
}

void TApplication::SetTitle(const QString& title) {
    m_title = title;
    // The application name, not the display name: Qt appends a display name to every window caption.
    QCoreApplication::setApplicationName(title);
}

void TApplication::SetHintColor(const QColor& color) {
    m_hintColor = color;
    if (!color.isValid() || !qobject_cast<QApplication*>(QCoreApplication::instance())) {
        return;
    }
    QPalette palette = QToolTip::palette();
    palette.setColor(QPalette::ToolTipBase, color);
    QToolTip::setPalette(palette);
}

void TApplication::SetBiDiMode(TBiDiMode mode) {
    m_biDiMode = mode;
    if (QCoreApplication::instance()) {
        QGuiApplication::setLayoutDirection(mode == TBiDiMode::bdLeftToRight ? Qt::LeftToRight
                                                                             : Qt::RightToLeft);
    }
}

void TApplication::SetMouseDragThreshold(int pixels) {
    m_mouseDragThreshold = pixels;
    if (QCoreApplication::instance()) {
        QApplication::setStartDragDistance(pixels);
    }
}

int TApplication::Run(QWidget& mainForm) {
    if (m_showMainForm) {
        mainForm.show();
    }
    return QApplication::exec();
}

}  // namespace signposter::ui
