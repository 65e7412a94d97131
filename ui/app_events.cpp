#include "ui/app_events.h"

#include <QApplication>
#include <QPalette>
#include <QToolTip>
#include <QWindow>

namespace signposter::ui {

namespace {

TApplication& App() {
    return TApplication::Instance();
}

}  // namespace

TAppEvents::TAppEvents(QObject* owner) : QObject(owner) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        m_hintColor = QToolTip::palette().color(QPalette::ToolTipBase);
        auto* app = qApp;
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive) {
                emit OnActivate(this);
            } else if (state == Qt::ApplicationInactive) {
                emit OnDeactivate(this);
            }
        });
        connect(app, &QApplication::focusChanged, this, [this] { emit OnActiveControlChange(this); });
        connect(app, &QGuiApplication::focusWindowChanged, this, [this] { emit OnActiveFormChange(this); });
        app->installEventFilter(this);
    }
}

bool TAppEvents::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp) {
        switch (event->type()) {
            case QEvent::ApplicationFontChange:
            case QEvent::ApplicationPaletteChange:
            case QEvent::LocaleChange:
                emit OnSettingsChanged(this);
                break;
            default:
                break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void TAppEvents::Loaded() {
    m_loaded = true;
    TApplication& app = App();
    app.SetHintColor(m_hintColor);
    app.SetHintPause(m_hintPause);
    app.SetShowHint(m_showHint);
    app.SetUpdateFormatSettings(m_updateFormatSettings);
    app.SetHintShortPause(m_hintShortPause);
    app.SetHintHidePause(m_hintHidePause);
    app.SetShowMainForm(m_showMainForm);
    app.SetUpdateMetricSettings(m_updateMetricSettings);
    app.SetHintShortCuts(m_hintShortCuts);
    app.SetBiDiMode(m_biDiMode);
    app.SetMouseDragImmediate(m_mouseDragImmediate);
    app.SetMouseDragThreshold(m_mouseDragThreshold);
    app.SetBiDiKeyboard(m_biDiKeyboard);
    app.SetNonBiDiKeyboard(m_nonBiDiKeyboard);
}

void TAppEvents::SetHintColor(const QColor& color) {
    m_hintColor = color;
    if (m_loaded) {
        App().SetHintColor(color);
    }
}

void TAppEvents::SetHintPause(int ms) {
    m_hintPause = ms;
    if (m_loaded) {
        App().SetHintPause(ms);
    }
}

void TAppEvents::SetShowHint(bool show) {
    m_showHint = show;
    if (m_loaded) {
        App().SetShowHint(show);
    }
}

void TAppEvents::SetUpdateFormatSettings(bool update) {
    m_updateFormatSettings = update;
    if (m_loaded) {
        App().SetUpdateFormatSettings(update);
    }
}

void TAppEvents::SetHintShortPause(int ms) {
    m_hintShortPause = ms;
    if (m_loaded) {
        App().SetHintShortPause(ms);
    }
}

void TAppEvents::SetHintHidePause(int ms) {
    m_hintHidePause = ms;
    if (m_loaded) {
        App().SetHintHidePause(ms);
    }
}

void TAppEvents::SetShowMainForm(bool show) {
    m_showMainForm = show;
    if (m_loaded) {
        App().SetShowMainForm(show);
    }
}

void TAppEvents::SetUpdateMetricSettings(bool update) {
    m_updateMetricSettings = update;
    if (m_loaded) {
        App().SetUpdateMetricSettings(update);
    }
}

void TAppEvents::SetHintShortCuts(bool show) {
    m_hintShortCuts = show;
    if (m_loaded) {
        App().SetHintShortCuts(show);
    }
}

void TAppEvents::SetBiDiMode(TBiDiMode mode) {
    m_biDiMode = mode;
    if (m_loaded) {
        App().SetBiDiMode(mode);
    }
}

void TAppEvents::SetMouseDragImmediate(bool immediate) {
    m_mouseDragImmediate = immediate;
    if (m_loaded) {
        App().SetMouseDragImmediate(immediate);
    }
}

void TAppEvents::SetMouseDragThreshold(int pixels) {
    m_mouseDragThreshold = pixels;
    if (m_loaded) {
        App().SetMouseDragThreshold(pixels);
    }
}

void TAppEvents::SetBiDiKeyboard(const QString& layout) {
    m_biDiKeyboard = layout;
    if (m_loaded) {
        App().SetBiDiKeyboard(layout);
    }
}

void TAppEvents::SetNonBiDiKeyboard(const QString& layout) {
    m_nonBiDiKeyboard = layout;
    if (m_loaded) {
        App().SetNonBiDiKeyboard(layout);
    }
}

}  // namespace signposter::ui
