#include "ui/controls/control_types.h"

#include <QGuiApplication>
#include <QPalette>

namespace signposter::ui {

QColor ColorFromValue(TColor value) {
    if (value & 0x80000000u) {
        // System colours by their classic index; only those the controls use are mapped.
        const QPalette palette = QGuiApplication::palette();
        switch (value & 0xFFu) {
            case 5:  // window
                return palette.color(QPalette::Base);
            case 8:   // window text
            case 18:  // button text
                return palette.color(QPalette::WindowText);
            case 15:  // button face
                return palette.color(QPalette::Button);
            case 16:  // button shadow
                return palette.color(QPalette::Dark);
            case 17:  // grey text
                return palette.color(QPalette::Disabled, QPalette::Text);
            case 20:  // button highlight
                return palette.color(QPalette::Light);
            case 24:  // tooltip background
                return palette.color(QPalette::ToolTipBase);
            default:
                return palette.color(QPalette::Window);
        }
    }
    return QColor(int(value & 0xFFu), int((value >> 8) & 0xFFu), int((value >> 16) & 0xFFu));
}

}  // namespace signposter::ui
